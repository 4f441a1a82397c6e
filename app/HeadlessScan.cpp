#include "app/HeadlessScan.h"

#include <cstdio>

bool isHeadlessScanRequest(const QStringList& arguments) {
  return arguments.contains(QStringLiteral("--scan")) || arguments.contains(QStringLiteral("--scan-i2c"));
}

int runHeadlessScan(const QStringList&) {
  std::fputs("scanning is not available yet\n", stderr);
  return 1;
}
