#include "support/FleetRecord.h"

#include "engine/IpPacket.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace orvane::test {
namespace {

constexpr int kFilePort = orvane::proto::kFilePort;
// UploadData payload: 24-bit offset, 24-bit byte count, then the 64 data bytes.
constexpr int kUploadDataHead = 6;

// The one frame a record line holds, cut by the engine's own frame reader: whole, with a
// payload as long as its length field says and a right checksum. Empty otherwise.
QByteArray recordedFrame(const QJsonObject& r) {
  orvane::proto::FrameSplitter splitter;
  splitter.push(QByteArray::fromHex(r.value(QLatin1String("hex")).toString().toLatin1()));
  QByteArray frame;
  if (!splitter.next(frame) || splitter.pending() != 0) return {};
  const auto* bytes = reinterpret_cast<const quint8*>(frame.constData());
  const int n = int(frame.size()) - 2;
  if (orvane::proto::packetChecksum(bytes, n) != quint16((bytes[n] << 8) | bytes[n + 1])) return {};
  return frame;
}

quint16 frameCode(const QByteArray& frame) { return quint16((quint8(frame[0]) << 8) | quint8(frame[1])); }

void extend(DeviceUpload& u, qint64 t) {
  if (u.uploadFromMs >= 0) u.uploadToMs = std::max(u.uploadToMs, t);
}

void readFilePortFrame(DeviceUpload& u, const QJsonObject& r, qint64 t) {
  const bool in = r.value(QLatin1String("dir")).toString() == QLatin1String("in");
  if (!in) {
    extend(u, t);  // an answer
    return;
  }
  const QByteArray frame = recordedFrame(r);
  if (frame.isEmpty()) {
    ++u.badFrames;
    return;
  }
  const QByteArray payload = frame.mid(orvane::proto::kHeaderSize, frame.size() - orvane::proto::kFrameOverhead);
  switch (frameCode(frame)) {
    case orvane::proto::UploadStart:
      ++u.uploadStarts;
      if (u.uploadFromMs < 0) u.uploadFromMs = u.uploadToMs = t;
      break;
    case orvane::proto::UploadData:
      ++u.uploadData;
      u.image += payload.mid(kUploadDataHead);
      extend(u, t);
      break;
    default:
      break;
  }
}

}  // namespace

QMap<QString, DeviceUpload> deviceUploads(const QList<QJsonObject>& records) {
  QMap<QString, DeviceUpload> out;
  for (const QJsonObject& r : records) {
    const QString device = r.value(QLatin1String("device")).toString();
    if (device.isEmpty()) continue;
    DeviceUpload& u = out[device];
    const qint64 t = qint64(r.value(QLatin1String("t")).toDouble());
    const QString event = r.value(QLatin1String("event")).toString();
    if (event == QLatin1String("activated")) {
      ++u.activations;
      extend(u, t);
    } else if (event == QLatin1String("reset")) {
      ++u.resets;
    } else if (event == QLatin1String("connection")) {
      const QString state = r.value(QLatin1String("state")).toString();
      if (state == QLatin1String("open") || state == QLatin1String("refused")) ++u.tcpConnections;
    } else if (r.value(QLatin1String("proto")).toString() == QLatin1String("tcp") &&
               r.value(QLatin1String("port")).toInt() == kFilePort) {
      readFilePortFrame(u, r, t);
    }
  }
  return out;
}

int maxConcurrentUploads(const QMap<QString, DeviceUpload>& uploads) {
  // Sweep over the interval ends: at one moment an end counts before a start.
  std::vector<std::pair<qint64, int>> edges;
  for (const DeviceUpload& u : uploads) {
    if (u.uploadFromMs < 0) continue;
    edges.emplace_back(u.uploadFromMs, +1);
    edges.emplace_back(u.uploadToMs, -1);
  }
  std::sort(edges.begin(), edges.end());
  int now = 0, most = 0;
  for (const auto& [t, step] : edges) {
    now += step;
    most = std::max(most, now);
  }
  return most;
}

QByteArray expectedBinUpload(const QByteArray& binFile) {
  QByteArray image = orvane::proto::binUploadImage(binFile);
  const qsizetype rest = image.size() % orvane::proto::kChunkSize;
  if (rest != 0) image.append(QByteArray(orvane::proto::kChunkSize - rest, '\0'));
  return image;
}

}  // namespace orvane::test
