// The version decisions before and after flashing, as pure functions over a version set.
#include "engine/VersionChecks.h"

#include <gtest/gtest.h>

namespace {

using orvane::engine::CheckTarget;
using orvane::engine::CompatibilityVerdict;
using orvane::engine::evaluateCompatibility;

constexpr qint32 v(int major, int minor) { return major << 16 | minor; }

struct Case {
  const char* name;
  VersionSet set;
  CheckTarget target;
  bool batch;
  CompatibilityVerdict::Kind kind;
  const char* text;
};

VersionSet make(qint32 devFw, qint32 fileFw, qint32 minFw = 0, qint32 devHw = -1, qint32 minHw = -1,
                qint32 maxHw = -1, qint32 devType = 7, qint32 fileType = 7) {
  VersionSet s;
  s.deviceFirmwareType = devType;
  s.fileFirmwareType = fileType;
  s.deviceFirmwareVersion = devFw;
  s.fileFirmwareVersion = fileFw;
  s.fileMinDeviceFirmware = minFw;
  s.deviceHardwareVersion = devHw;
  s.fileMinHardware = minHw;
  s.fileMaxHardware = maxHw;
  return s;
}

const Case kCases[] = {
    {"same version, no question", make(v(2, 5), v(2, 5)), CheckTarget::Network, false, CompatibilityVerdict::Accept, ""},
    {"upgrade", make(v(2, 5), v(2, 6)), CheckTarget::Network, false, CompatibilityVerdict::Accept, ""},
    {"downgrade in major, interactive", make(v(2, 5), v(2, 3)), CheckTarget::Network, false,
     CompatibilityVerdict::AskDowngrade, "You are downgrading ! Continue?"},
    {"downgrade in major, I2C", make(v(2, 5), v(2, 3)), CheckTarget::I2c, false, CompatibilityVerdict::AskDowngrade,
     "I2C device: You are downgrading ! Continue?"},
    {"downgrade in major, batch", make(v(2, 5), v(2, 3)), CheckTarget::Network, true, CompatibilityVerdict::Accept, ""},
    {"downgrade across majors, batch", make(v(3, 0), v(2, 9)), CheckTarget::Network, true,
     CompatibilityVerdict::Refuse, "You cannot downgrade to this version !"},
    {"downgrade across majors, I2C", make(v(3, 0), v(2, 9)), CheckTarget::I2c, false, CompatibilityVerdict::Refuse,
     "You cannot downgrade to this version !"},
    {"type mismatch", make(v(1, 0), v(1, 1), 0, -1, -1, -1, 5, 6), CheckTarget::Network, false,
     CompatibilityVerdict::Refuse, "Type mismatch. This firmware file is not for this device !"},
    {"type mismatch, I2C", make(v(1, 0), v(1, 1), 0, -1, -1, -1, 5, 6), CheckTarget::I2c, false,
     CompatibilityVerdict::Refuse, "Type mismatch. This firmware file is not for this I2C device !"},
    {"minimum firmware", make(v(1, 3), v(1, 6), v(1, 4)), CheckTarget::Network, false, CompatibilityVerdict::Refuse,
     "Older version not valid. Actual firmware of the device must be at least 1.4 to be upgraded with this file !"},
    {"minimum firmware, I2C", make(v(1, 3), v(1, 6), v(1, 4)), CheckTarget::I2c, false, CompatibilityVerdict::Refuse,
     "Older version not valid. Actual firmware of the I2C device must be at least 1.4 to be upgraded with this "
     "file !"},
    {"minimum firmware before hardware", make(v(1, 3), v(1, 6), v(1, 4), v(1, 0), v(2, 0)), CheckTarget::Network,
     false, CompatibilityVerdict::Refuse,
     "Older version not valid. Actual firmware of the device must be at least 1.4 to be upgraded with this file !"},
    {"minimum hardware", make(v(1, 3), v(1, 6), 0, v(1, 0), v(1, 10)), CheckTarget::Network, false,
     CompatibilityVerdict::Refuse,
     "Older hardware version not valid. Actual hadware of the device must be at least 1.10 to be upgraded with this "
     "file !"},
    {"minimum hardware, I2C", make(v(1, 3), v(1, 6), 0, v(1, 0), v(1, 10)), CheckTarget::I2c, false,
     CompatibilityVerdict::Refuse,
     "Older hardware version not valid. Actual hardware of the I2C device must be at least 1.10 to be upgraded with "
     "this file !"},
    {"maximum hardware", make(v(1, 3), v(1, 6), 0, v(1, 1), -1, v(1, 0)), CheckTarget::Network, false,
     CompatibilityVerdict::Refuse,
     "This firmware is not compatible with your hardware version.\r\nThe hardware version must be less or equal "
     "than 1.0 to be upgraded with this file !"},
    {"maximum hardware, I2C same text", make(v(1, 3), v(1, 6), 0, v(1, 1), -1, v(1, 0)), CheckTarget::I2c, false,
     CompatibilityVerdict::Refuse,
     "This firmware is not compatible with your hardware version.\r\nThe hardware version must be less or equal "
     "than 1.0 to be upgraded with this file !"},
    {"device without hardware version skips both bounds", make(v(1, 3), v(1, 6), 0, -1, v(9, 0), v(0, 1)),
     CheckTarget::Network, false, CompatibilityVerdict::Accept, ""},
    {"file without bounds skips both rules", make(v(1, 3), v(1, 6), 0, v(5, 0), -1, -1), CheckTarget::Network, false,
     CompatibilityVerdict::Accept, ""},
    {"hardware inside bounds", make(v(1, 3), v(1, 6), 0, v(2, 0), v(1, 0), v(3, 2)), CheckTarget::Network, false,
     CompatibilityVerdict::Accept, ""},
};

TEST(EngineVersionChecks, TableOfCases) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const CompatibilityVerdict verdict = evaluateCompatibility(c.set, c.target, c.batch);
    EXPECT_EQ(verdict.kind, c.kind);
    EXPECT_EQ(verdict.text.toStdString(), std::string(c.text));
  }
}

TEST(EngineVersionChecks, VersionAfterFlashing) {
  EXPECT_TRUE(orvane::engine::deviceRunsFileVersion(make(v(2, 6), v(2, 6))));
  EXPECT_FALSE(orvane::engine::deviceRunsFileVersion(make(v(2, 5), v(2, 6))));
  EXPECT_EQ(orvane::engine::kVersionAfterFlashMismatch, QStringLiteral("Device version not equal to the file version."));
}

}  // namespace
