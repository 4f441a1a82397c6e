#include "engine/ORVCRoVivazava.h"

#include "engine/FirmwareFile.h"

// Minimal engine: refuses every upgrade until the sequencer lands.
class ORVCRoVivazavaPrivate {
 public:
  int state = kTerminalState;
};

ORVCRoVivazava::ORVCRoVivazava(bool& success, UpgradeStatusCallback, void*, ReachabilityTest, EngineSettings)
    : d(std::make_unique<ORVCRoVivazavaPrivate>()) {
  success = true;
}

ORVCRoVivazava::~ORVCRoVivazava() = default;

bool ORVCRoVivazava::startUpgrade(const QString&, int, const QByteArray*, const QByteArray*, const QByteArray*,
                                  bool) {
  return false;
}

int ORVCRoVivazava::currentState() const { return d->state; }

void ORVCRoVivazava::storeFileIdentification(VersionSet& set, const orvane::FileIdentification& identification) {
  set.fileFirmwareType = identification.fileFirmwareType;
  set.fileFirmwareVersion = identification.fileFirmwareVersion;
  set.fileMaxHardware = identification.fileMaxHardware;
  set.fileMinDeviceFirmware = identification.fileMinDeviceFirmware;
  set.fileMinHardware = identification.fileMinHardware;
}
