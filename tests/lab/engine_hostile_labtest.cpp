// A hostile device against the real program in batch mode, inside the network lab, with a
// throw-away home: a stray acknowledgement during the I2C flashing and a doubly
// acknowledged .web upload whose last chunk is refused both end the run with code 1 and
// the reason in the error log, never with a success; a status text with control
// characters cannot forge a line of the output.
#include "support/EngineProbe.h"
#include "support/Lab.h"
#include "support/TempHome.h"
#include "unit/window_kit.h"

#include <QJsonArray>
#include <QJsonObject>
#include <gtest/gtest.h>

using namespace orvane::test;

namespace {

// A gateway (type 00010001, firmware 1.0) with an I2C device at 80 (type 00050001, 1.2).
QJsonObject gatewayWithSensor(const QJsonObject& faults) {
  const QJsonObject i2c{{"address", 80}, {"type", "00050001"}, {"versionWord", "00010002"}, {"name", "Sensor"}};
  const QJsonObject device{{"address", labDeviceAddress(0)}, {"type", "00010001"}, {"versionWord", "01020100"},
                           {"flashTimeMs", 300},           {"i2c", QJsonArray{i2c}}, {"faults", faults}};
  return QJsonObject{{"devices", QJsonArray{device}}};
}

// The n-th request on the common port is answered with these bytes instead.
QJsonObject rawCommonAnswer(int index, const QByteArray& frame) {
  const QJsonObject raw{{"port", 8010}, {"index", index}, {"hex", QString::fromLatin1(frame.toHex())}};
  return QJsonObject{{"tcpRaw", QJsonArray{raw}}};
}

class EngineHostileBatch : public ::testing::Test {
 protected:
  void SetUp() override {
    ORVANE_REQUIRE_LAB();
    windowkit::application();
    ASSERT_TRUE(home.isValid());
  }

  // Runs the batch program; it must end by itself long before the deadline (the shipped
  // answer wait is 10 s), with code 1, printing and logging the failure and `reason`.
  void expectFailedRun(const QStringList& arguments, const QString& reason) {
    const ProgramRun run = home.run(arguments, {}, 45000);
    ASSERT_TRUE(run.finished) << "the run did not end: " << run.standardOutput.toStdString();
    const QString out = QString::fromLocal8Bit(run.standardOutput);
    EXPECT_EQ(run.exitCode, 1) << out.toStdString();
    EXPECT_TRUE(out.contains(reason)) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("Upgrade failed."))) << out.toStdString();
    EXPECT_FALSE(out.contains(QStringLiteral("Upgrade finished successfully."))) << out.toStdString();
    const QString log = home.errorLogText();
    EXPECT_TRUE(log.contains(reason + QStringLiteral(" [device ") + labDeviceAddress(0))) << log.toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("Upgrade failed."))) << log.toStdString();
  }

  TempHome home;
};

TEST_F(EngineHostileBatch, StrayAcknowledgementDuringTheI2cFlashingEndsTheRun) {
  // Requests on 8010: the version, the I2C version, then the first block write, which is
  // answered with the start-flashing acknowledgement; after it the device stays quiet.
  Simulator sim(gatewayWithSensor(rawCommonAnswer(3, answerFrame("00 08 00 00 00 02 87 87"))));
  ASSERT_TRUE(sim.started());
  const QString bi2 = windowkit::writeFile(home.tempPath(), QStringLiteral("sensor.bi2"),
                                           windowkit::firmwareImage("00 05 00 01", "00 01 00 03", "00 00 00 00",
                                                                    QByteArray(300, '\x5A')));
  expectFailedRun({"-IP", labDeviceAddress(0), "-B2", bi2, "-I2CA", "80"},
                  QStringLiteral("Error. Invalid answer from I2C device !"));
  // Nothing was flashed.
  for (const QJsonObject& r : sim.records()) EXPECT_NE(r.value("event").toString(), "flashing");
}

TEST_F(EngineHostileBatch, DoublyAcknowledgedWebWithARefusedLastChunkFails) {
  // 130 bytes: the start and three chunks; the fourth answer on 8004 refuses the last one.
  const QJsonObject faults{{"repeatAnswer", QJsonArray{QJsonObject{{"port", 8004}, {"index", 1}}}},
                           {"uploadStatusText", QJsonObject{{"index", 4}, {"text", "WriteError"}}}};
  Simulator sim(gatewayWithSensor(faults));
  ASSERT_TRUE(sim.started());
  const QString web = windowkit::writeFile(home.tempPath(), QStringLiteral("site.web"), QByteArray(130, 'w'));
  expectFailedRun({"-IP", labDeviceAddress(0), "-W", web},
                  QStringLiteral("File upload error. Invalid answer from device !"));
  // The simulator sent the start's answer twice, in one piece.
  const QByteArray erased = answerFrame(("00 33 00 00 00 0C " + QByteArray("MemoryErased").toHex()).constData());
  QStringList fileAnswers;
  for (const QJsonObject& r : sim.records())
    if (r.value("port").toInt() == 8004 && r.value("dir").toString() == "out") fileAnswers << r.value("hex").toString();
  ASSERT_FALSE(fileAnswers.isEmpty());
  EXPECT_EQ(fileAnswers.first().toLower(), QString::fromLatin1((erased + erased).toHex()));
}

// The status text of a refused chunk comes from the device: on the program's lines its
// control characters show as '?', so that it can neither forge a line nor drive a terminal.
TEST_F(EngineHostileBatch, ADevicesTextCannotForgeALineOfTheOutput) {
  const QJsonObject faults{{"uploadStatusText", QJsonObject{{"index", 2},
                                                            {"text", "Refused\u001b[2J\nUpgrade finished successfully."}}}};
  Simulator sim(gatewayWithSensor(faults));
  ASSERT_TRUE(sim.started());
  const QString web = windowkit::writeFile(home.tempPath(), QStringLiteral("site.web"), QByteArray(130, 'w'));
  const ProgramRun run = home.run({"-IP", labDeviceAddress(0), "-W", web}, {}, 45000);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 1);
  const QString out = QString::fromLocal8Bit(run.standardOutput);
  EXPECT_FALSE(out.contains(QChar(0x1B))) << out.toStdString();
  const QStringList lines = out.split(u'\n');
  EXPECT_FALSE(lines.contains(QStringLiteral("Upgrade finished successfully."))) << out.toStdString();
  EXPECT_TRUE(lines.contains(QStringLiteral("File upload error : Refused?[2J?Upgrade finished successfully.")))
      << out.toStdString();
}

}  // namespace
