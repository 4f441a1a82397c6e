// One device of a fleet run on a thread of its own, against the loopback device: what the
// read-first policy decides, and where a stop (Ctrl-C) may end a run and where it may not.
#include "support/FakeDevice.h"
#include "support/GlobalStateGuard.h"

#include "app/FleetWorker.h"
#include "engine/FirmwareFile.h"
#include "engine/IpPacket.h"

#include <QThread>
#include <gtest/gtest.h>
#include <memory>

namespace {

using namespace orvane::test;
using Port = FakeDevice::Port;

std::shared_ptr<const orvane::LoadedFirmware> loaded(const QByteArray& content) {
  auto f = std::make_shared<orvane::LoadedFirmware>();
  f->content = content;
  f->identification = *orvane::parseIdentificationBlock(content);
  return f;
}

struct WorkerRig {
  FakeDevice device;
  FleetJob job;
  FleetPolicy policy;

  WorkerRig() {
    job.ip = QStringLiteral("127.0.0.1");
    job.bin = loaded(pathBin());  // type 1.1, version 1.5
    job.files.append(runFile(QStringLiteral("bin"), QStringLiteral("/fw/a.bin"), pathBin()));
    policy.engine = quickSettings(device.commonPort(), device.filePort(), device.httpPort());
  }

  // Runs the worker on its own thread while this thread serves the device.
  RunSummary run(FleetWorker& worker) {
    RunSummary summary;
    std::unique_ptr<QThread> thread(QThread::create([&] { summary = worker.run(); }));
    thread->start();
    EXPECT_TRUE(waitUntil([&] { return thread->isFinished(); }, 20000));
    thread->wait();
    return summary;
  }
  RunSummary run() {
    FleetWorker worker(job, policy, {});
    return run(worker);
  }
};

bool isActivation(const QByteArray& frame) {
  return frame.size() > 1 && quint8(frame[1]) == quint8(orvane::proto::Code::ActivateFirmware);
}

TEST(FleetWorker, ReadsFirstAndLeavesACurrentDeviceAlone) {
  struct Row {
    const char* versionWord;
    bool force, allowDowngrade;
    const char* result;
    bool uploaded;
  } rows[] = {
      {"00010005", false, false, "current", false},
      {"00010005", true, false, "upgraded", true},
      {"00010007", false, false, "incompatible", false},
      {"00010007", false, true, "upgraded", true},
      {"00010002", false, false, "upgraded", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.versionWord) + (row.force ? " force" : "") + (row.allowDowngrade ? " allow" : ""));
    GlobalStateGuard guard;
    WorkerRig rig;
    rig.device.versionWord = QByteArray::fromHex(row.versionWord);
    rig.device.versionAfterFlash = QByteArray::fromHex("00010005");
    rig.policy.force = row.force;
    rig.policy.allowDowngrade = row.allowDowngrade;
    const RunSummary s = rig.run();
    EXPECT_EQ(s.result, QLatin1String(row.result)) << s.reason.toStdString();
    EXPECT_EQ(!rig.device.received(Port::File).isEmpty(), row.uploaded);
    EXPECT_EQ(rig.device.flashCount(), row.uploaded ? 1 : 0);
    if (QLatin1String(row.result) == QLatin1String("incompatible")) {
      EXPECT_EQ(s.reason, QStringLiteral("downgrade 1.7 → 1.5 refused (--allow-downgrade flashes it)"));
    }
  }
}

// With an I2C device both devices are read before anything is written: an I2C device
// that cannot take its file keeps the network device from being flashed as well.
TEST(FleetWorker, AnIncompatibleI2cDeviceKeepsTheWholeDeviceUntouched) {
  GlobalStateGuard guard;
  WorkerRig rig;
  rig.device.i2cType = QByteArray::fromHex("00070001");
  rig.job.bi2 = loaded(pathBi2());  // type 5.1
  rig.job.i2cAddress = 80;
  const RunSummary s = rig.run();
  EXPECT_EQ(s.result, QLatin1String("incompatible")) << s.reason.toStdString();
  EXPECT_EQ(s.i2c.relation, QLatin1String("incompatible"));
  EXPECT_TRUE(rig.device.received(Port::File).isEmpty());
  EXPECT_EQ(rig.device.flashCount(), 0);
  EXPECT_EQ(rig.device.i2cFlashCount(), 0);
}

TEST(FleetWorker, AStopDuringTheUploadCancelsBeforeActivation) {
  GlobalStateGuard guard;
  WorkerRig rig;
  FleetWorker worker(rig.job, rig.policy, {});
  // The third chunk is taken but never answered: the engine waits, and the stop lands.
  rig.device.script = [&worker](Port port, int index, const QByteArray&) {
    FakeDevice::Reply reply;
    if (port == Port::File && index == 3) {
      worker.requestStop();
      reply.kind = FakeDevice::Reply::Silent;
    }
    return reply;
  };
  const RunSummary s = rig.run(worker);
  EXPECT_EQ(s.result, QLatin1String("cancelled"));
  EXPECT_EQ(s.exitCode, 130);
  EXPECT_EQ(s.stage, QLatin1String("bin-upload"));
  EXPECT_TRUE(s.written);
  EXPECT_FALSE(s.activated);
  EXPECT_EQ(rig.device.activatedLength(), -1);
  EXPECT_EQ(rig.device.flashCount(), 0);
  for (const QByteArray& f : rig.device.received(Port::File)) EXPECT_FALSE(isActivation(f));
}

TEST(FleetWorker, AStopAfterActivationLetsTheRunFinish) {
  GlobalStateGuard guard;
  WorkerRig rig;
  rig.device.versionAfterFlash = QByteArray::fromHex("00010005");
  FleetWorker worker(rig.job, rig.policy, {});
  rig.device.script = [&worker](Port port, int, const QByteArray& frame) {
    if (port == Port::File && isActivation(frame)) worker.requestStop();
    return FakeDevice::Reply{};
  };
  const RunSummary s = rig.run(worker);
  EXPECT_EQ(s.result, QLatin1String("upgraded")) << s.reason.toStdString();
  EXPECT_EQ(rig.device.flashCount(), 1);
}

TEST(FleetWorker, AStopBeforeTheStartWritesNothing) {
  GlobalStateGuard guard;
  WorkerRig rig;
  FleetWorker worker(rig.job, rig.policy, {});
  worker.requestStop();
  const RunSummary s = rig.run(worker);
  EXPECT_EQ(s.result, QLatin1String("cancelled"));
  EXPECT_FALSE(s.written);
  EXPECT_TRUE(rig.device.received(Port::Common).isEmpty());
}

TEST(FleetWorker, ACheckOnlyRunNeverWritesAndNamesRefusals) {
  struct Row {
    const char* versionWord;
    bool allowDowngrade;
    const char* result;
    const char* relation;
  } rows[] = {
      {"00010002", false, "checked", "upgrade"},
      {"00010005", false, "current", "same"},
      {"00010007", false, "incompatible", "downgrade"},
      {"00010007", true, "checked", "downgrade"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.versionWord);
    GlobalStateGuard guard;
    WorkerRig rig;
    rig.device.versionWord = QByteArray::fromHex(row.versionWord);
    rig.policy.checkOnly = true;
    rig.policy.allowDowngrade = row.allowDowngrade;
    const RunSummary s = rig.run();
    EXPECT_EQ(s.result, QLatin1String(row.result));
    EXPECT_EQ(s.mode, QLatin1String("check"));
    EXPECT_EQ(s.network.relation, QLatin1String(row.relation));
    EXPECT_TRUE(rig.device.received(Port::File).isEmpty());
  }
}

}  // namespace
