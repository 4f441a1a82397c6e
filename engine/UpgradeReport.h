#pragma once

#include <QString>

// What the upgrade engine tells callers besides its status reports: the options of one
// run, the stage it is in, how each device compares with its file, and how the run ended.
// Scripts build on these (exit codes, JSON, the history), so names and meanings only grow.
namespace orvane::engine {

// Options of one run besides the files; the defaults keep the plain upgrade.
struct UpgradeOptions {
  bool checkOnly = false;        // read type and versions, apply the checks, write nothing
  bool skipCurrent = false;      // a device that already runs its file's version is left alone
  bool refuseDowngrade = false;  // a downgrade is refused like an incompatible file
};

// The stages of a run, coarse enough for a person or a script to follow.
enum class UpgradeStage {
  Starting,         // reachability, first connection
  Checking,         // the network device's type and version
  UploadingBin,     // the .bin image through the file port
  ReadingBack,      // the uploaded image fetched back and compared
  Activating,       // activation and reset of the network device
  Restarting,       // the network device flashes and restarts
  VerifyingBin,     // the network device's new version
  UploadingWeb,     // the .web content
  CheckingI2c,      // the I2C device's type and version
  TransferringI2c,  // the .bi2 image written and read back block by block
  RestartingI2c,    // the I2C device flashes and restarts
  VerifyingI2c,     // the I2C device's new version
  Done,             // the run is over
};

// Stable names for scripts: "starting", "checking", "bin-upload", "readback", "activating",
// "restarting", "bin-verify", "web-upload", "i2c-check", "i2c-transfer", "i2c-restarting",
// "i2c-verify", "done".
const char* stageName(UpgradeStage stage);

// How one device compares with its file, once its versions were read.
struct SetComparison {
  enum Relation {
    NotChecked,    // no file of that kind, or the run ended before the device answered
    Upgrade,       // the file is newer
    Same,          // the device already runs the file's version
    Downgrade,     // the file is older, within what the checks accept
    Incompatible,  // the checks refuse the file for this device
  };
  Relation relation = NotChecked;
  QString reason;  // Incompatible: the refusal given to the operator
};

enum class UpgradeResult {
  Running,       // no run has ended yet
  Upgraded,      // everything selected was written and confirmed
  Current,       // with skipCurrent: every device already ran its file's version; nothing written
  Checked,       // checkOnly: the comparisons are known; nothing written
  Failed,        // any failure not named below
  Unreachable,   // no echo, or no connection/answer before anything was written
  Incompatible,  // type, minimum firmware, hardware bounds, or a refused downgrade
  Unconfirmed,   // a new firmware was activated but the device did not answer before the restart deadline
};

// How the last run ended; set before the final status report (StatusSucceeded/StatusFailed).
struct UpgradeEnd {
  UpgradeResult result = UpgradeResult::Running;
  UpgradeStage stage = UpgradeStage::Starting;  // where the run ended
  QString reason;          // the first failure given to the operator; empty on success
  bool written = false;    // something that changes the device was sent (upload, I2C block, activation, reset)
  bool activated = false;  // a new firmware was activated (.bin activation or I2C flash start sent)
};

}  // namespace orvane::engine
