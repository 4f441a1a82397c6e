#include "discovery/ScanOrvaneModule.h"

// Placeholder until the ICMP echo helper lands: nothing answers.
bool ORVCScanOrvaneDevice::testPing(const QString&) { return false; }
