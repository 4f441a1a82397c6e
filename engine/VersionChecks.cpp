#include "engine/VersionChecks.h"

namespace orvane::engine {

namespace {
CompatibilityVerdict refuse(const QString& text) { return {CompatibilityVerdict::Refuse, text}; }
}  // namespace

CompatibilityVerdict evaluateCompatibility(const VersionSet& s, CheckTarget target, bool batchMode) {
  using proto::kNoVersion;
  using proto::versionText;
  const bool i2c = target == CheckTarget::I2c;

  if (s.fileFirmwareType != s.deviceFirmwareType)
    return refuse(i2c ? QStringLiteral("Type mismatch. This firmware file is not for this I2C device !")
                      : QStringLiteral("Type mismatch. This firmware file is not for this device !"));

  if (s.deviceFirmwareVersion < s.fileMinDeviceFirmware)
    return refuse((i2c ? QStringLiteral("Older version not valid. Actual firmware of the I2C device must be at least ")
                       : QStringLiteral("Older version not valid. Actual firmware of the device must be at least ")) +
                  versionText(s.fileMinDeviceFirmware) + QStringLiteral(" to be upgraded with this file !"));

  if (s.deviceHardwareVersion != kNoVersion && s.fileMinHardware != kNoVersion &&
      s.deviceHardwareVersion < s.fileMinHardware)
    return refuse(
        (i2c ? QStringLiteral("Older hardware version not valid. Actual hardware of the I2C device must be at least ")
             // "hadware" is how the network device's message has always read.
             : QStringLiteral("Older hardware version not valid. Actual hadware of the device must be at least ")) +
        versionText(s.fileMinHardware) + QStringLiteral(" to be upgraded with this file !"));

  if (s.fileMaxHardware != kNoVersion && s.deviceHardwareVersion != kNoVersion &&
      s.fileMaxHardware < s.deviceHardwareVersion)
    return refuse(QStringLiteral("This firmware is not compatible with your hardware version.\r\n"
                                 "The hardware version must be less or equal than ") +
                  versionText(s.fileMaxHardware) + QStringLiteral(" to be upgraded with this file !"));

  if (s.deviceFirmwareVersion <= s.fileFirmwareVersion) return {};

  // The file is older than the device: only within one major version, and only when
  // somebody agrees (nobody is asked in batch mode).
  if ((s.deviceFirmwareVersion >> 16) == (s.fileFirmwareVersion >> 16)) {
    if (batchMode) return {};
    return {CompatibilityVerdict::AskDowngrade, i2c ? QStringLiteral("I2C device: You are downgrading ! Continue?")
                                                    : QStringLiteral("You are downgrading ! Continue?")};
  }
  return refuse(QStringLiteral("You cannot downgrade to this version !"));
}

SetComparison compareSet(const VersionSet& s, CheckTarget target) {
  // In batch mode nobody is asked: a downgrade within a major version is accepted.
  const CompatibilityVerdict verdict = evaluateCompatibility(s, target, true);
  if (verdict.kind == CompatibilityVerdict::Refuse) return {SetComparison::Incompatible, verdict.text};
  if (s.deviceFirmwareVersion == s.fileFirmwareVersion) return {SetComparison::Same, {}};
  return {s.deviceFirmwareVersion < s.fileFirmwareVersion ? SetComparison::Upgrade : SetComparison::Downgrade, {}};
}

bool deviceRunsFileVersion(const VersionSet& s) { return s.deviceFirmwareVersion == s.fileFirmwareVersion; }

}  // namespace orvane::engine
