// Reading a fleet run out of the simulator's record (tests/support/FleetRecord): the
// upload each device received, its activations and resets, and how many devices were
// uploading at once, on small literal records.
#include "support/FleetRecord.h"

#include "engine/IpPacket.h"

#include <QJsonDocument>
#include <gtest/gtest.h>

using namespace orvane::test;

namespace {

QList<QJsonObject> parse(const QByteArrayList& lines) {
  QList<QJsonObject> out;
  for (const QByteArray& l : lines) out.append(QJsonDocument::fromJson(l).object());
  return out;
}

const QByteArray kStart = "003100000000FFCE";  // UploadStart, literal

// An UploadData frame of the chunk at `offset` (hex), built by the engine's encoder.
QByteArray dataHex(quint32 offset, const QByteArray& bytes) {
  return orvane::proto::uploadDataRequest(offset, bytes).toHex();
}

QByteArray line(int t, const char* device, const QByteArray& rest) {
  return "{\"t\":" + QByteArray::number(t) + ",\"device\":\"" + device + "\"," + rest + "}";
}
QByteArray fileIn(const QByteArray& hex) { return "\"proto\":\"tcp\",\"port\":8004,\"dir\":\"in\",\"hex\":\"" + hex + "\""; }
QByteArray fileOut() { return "\"proto\":\"tcp\",\"port\":8004,\"dir\":\"out\",\"hex\":\"00330000000C4D656D6F7279457261736564C628\""; }

}  // namespace

TEST(FleetRecord, LiteralUploadStartMatchesTheEncoder) {
  EXPECT_EQ(QByteArray::fromHex(kStart), orvane::proto::uploadStartRequest());
}

// Three devices: .1 uploads two chunks and is activated and reset; .2 starts while .1
// uploads and ends before .1's activation; .3 only answers version reads. The frame hex
// of the second chunk is given literally.
TEST(FleetRecord, ImagesCountsAndOverlapOfALiteralRecord) {
  const QByteArray chunk0(64, '\x11');
  const QByteArray chunk1 = QByteArray("tail");
  const QByteArray literalChunk1 =
      "003200010046000040000040" "7461696c" + QByteArray(120, '0') + "E178";
  ASSERT_EQ(dataHex(64, chunk1).toUpper(), literalChunk1.toUpper());
  const QList<QJsonObject> records = parse({
      line(1, "10.77.1.3", "\"event\":\"connection\",\"port\":8010,\"state\":\"open\""),
      line(2, "10.77.1.3", "\"proto\":\"tcp\",\"port\":8010,\"dir\":\"in\",\"hex\":\"0021000000020001FFDB\""),
      line(5, "10.77.1.1", "\"event\":\"connection\",\"port\":8004,\"state\":\"open\""),
      line(10, "10.77.1.1", fileIn(kStart)),
      line(11, "10.77.1.1", fileOut()),
      line(12, "10.77.1.1", fileIn(dataHex(0, chunk0))),
      line(13, "10.77.1.1", fileOut()),
      line(14, "10.77.1.2", fileIn(kStart)),
      line(15, "10.77.1.2", fileOut()),
      line(16, "10.77.1.2", fileIn(dataHex(0, "abc"))),
      line(20, "10.77.1.2", fileOut()),
      line(21, "10.77.1.1", fileIn(literalChunk1)),
      line(22, "10.77.1.1", fileOut()),
      line(30, "10.77.1.1", "\"event\":\"activated\",\"length\":1000"),
      line(31, "10.77.1.1", "\"event\":\"reset\",\"flashing\":true"),
      line(32, "10.77.1.1", "\"event\":\"connection\",\"port\":8010,\"state\":\"refused\""),
      line(33, "10.77.1.1", "\"event\":\"flashed\",\"versionWord\":\"00010001\""),
  });
  const QMap<QString, DeviceUpload> uploads = deviceUploads(records);
  ASSERT_EQ(uploads.keys(), QStringList({"10.77.1.1", "10.77.1.2", "10.77.1.3"}));

  const DeviceUpload& one = uploads["10.77.1.1"];
  EXPECT_EQ(one.image, chunk0 + chunk1 + QByteArray(60, '\0'));
  EXPECT_EQ(one.uploadStarts, 1);
  EXPECT_EQ(one.uploadData, 2);
  EXPECT_EQ(one.activations, 1);
  EXPECT_EQ(one.resets, 1);
  EXPECT_EQ(one.tcpConnections, 2);
  EXPECT_EQ(one.badFrames, 0);
  EXPECT_EQ(one.uploadFromMs, 10);
  EXPECT_EQ(one.uploadToMs, 30);

  const DeviceUpload& two = uploads["10.77.1.2"];
  EXPECT_EQ(two.image, QByteArray("abc") + QByteArray(61, '\0'));
  EXPECT_EQ(two.uploadStarts, 1);
  EXPECT_EQ(two.activations, 0);
  EXPECT_EQ(two.uploadFromMs, 14);
  EXPECT_EQ(two.uploadToMs, 20);

  const DeviceUpload& three = uploads["10.77.1.3"];
  EXPECT_TRUE(three.image.isEmpty());
  EXPECT_EQ(three.uploadStarts, 0);
  EXPECT_EQ(three.tcpConnections, 1);
  EXPECT_EQ(three.uploadFromMs, -1);

  EXPECT_EQ(maxConcurrentUploads(uploads), 2);
}

// Intervals given directly: touching ends do not overlap; nested and chained ones do.
TEST(FleetRecord, MostUploadsAtOnce) {
  struct Case {
    const char* name;
    QList<std::pair<qint64, qint64>> intervals;
    int most;
  };
  const Case cases[] = {
      {"none", {}, 0},
      {"one", {{0, 10}}, 1},
      {"end meets start", {{0, 10}, {10, 20}, {20, 30}}, 1},
      {"chain", {{0, 10}, {5, 15}, {12, 20}}, 2},
      {"nested", {{0, 100}, {10, 20}, {15, 30}, {18, 19}}, 4},
      {"same start", {{5, 6}, {5, 7}, {5, 8}}, 3},
      {"no upload beside uploads", {{-1, -1}, {0, 10}, {3, 4}}, 2},
  };
  for (const Case& c : cases) {
    QMap<QString, DeviceUpload> uploads;
    int i = 0;
    for (const auto& [from, to] : c.intervals) {
      DeviceUpload u;
      u.uploadFromMs = from;
      u.uploadToMs = to;
      uploads.insert(QString::number(i++), u);
    }
    EXPECT_EQ(maxConcurrentUploads(uploads), c.most) << c.name;
  }
}

// A frame whose checksum is wrong is not read as an upload.
TEST(FleetRecord, DamagedFramesAreCountedNotRead) {
  const QList<QJsonObject> records = parse({
      line(1, "10.77.1.1", fileIn("003100000000FFCF")),
      line(2, "10.77.1.1", fileIn("0031000000")),
      line(3, "10.77.1.1", fileIn(kStart)),
  });
  const DeviceUpload u = deviceUploads(records).value("10.77.1.1");
  EXPECT_EQ(u.badFrames, 2);
  EXPECT_EQ(u.uploadStarts, 1);
  EXPECT_EQ(u.uploadFromMs, 3);
}

// The expected upload of a .bin: its upload image padded to whole chunks.
TEST(FleetRecord, ExpectedBinUploadIsPaddedToWholeChunks) {
  const QByteArray file(1000, '\x42');
  const QByteArray image = expectedBinUpload(file);
  EXPECT_EQ(image.size(), 1024);  // 17 header bytes + 1000, padded
  EXPECT_EQ(image.left(1017), orvane::proto::binUploadImage(file));
  EXPECT_EQ(image.mid(1017), QByteArray(7, '\0'));
}
