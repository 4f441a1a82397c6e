#include "engine/UpgradeReport.h"

namespace orvane::engine {

const char* stageName(UpgradeStage stage) {
  switch (stage) {
    case UpgradeStage::Starting: return "starting";
    case UpgradeStage::Checking: return "checking";
    case UpgradeStage::UploadingBin: return "bin-upload";
    case UpgradeStage::ReadingBack: return "readback";
    case UpgradeStage::Activating: return "activating";
    case UpgradeStage::Restarting: return "restarting";
    case UpgradeStage::VerifyingBin: return "bin-verify";
    case UpgradeStage::UploadingWeb: return "web-upload";
    case UpgradeStage::CheckingI2c: return "i2c-check";
    case UpgradeStage::TransferringI2c: return "i2c-transfer";
    case UpgradeStage::RestartingI2c: return "i2c-restarting";
    case UpgradeStage::VerifyingI2c: return "i2c-verify";
    case UpgradeStage::Done: return "done";
  }
  return "done";
}

}  // namespace orvane::engine
