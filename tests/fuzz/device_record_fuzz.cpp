// The record decoding rules on arbitrary value bytes: each step picks a rule and hands
// it exactly the bytes it takes, as the reply handlers do.
#include "discovery/ORVCOrvaneDevice.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {
void require(bool condition) {
  if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ORVCOrvaneDevice device;
  size_t at = 0;
  while (at < size) {
    const uint8_t rule = data[at++] % 5;
    static constexpr size_t kTakes[] = {4, 4, 6, 16, 1};
    if (size - at < kTakes[rule]) break;
    const uint8_t* value = data + at;
    at += kTakes[rule];
    switch (rule) {
      case 0:
        device.applyType(value);
        require(device.typeHigh == (value[0] << 8 | value[1]));
        require(device.typeText.count(QLatin1Char('.')) == 1);
        break;
      case 1:
        device.applyVersions(value);
        require((value[0] == 0) == (device.hwVersionText == QLatin1String("-.-")));
        require(device.versionPairText().startsWith(device.fwVersionText + QStringLiteral(" / ")));
        break;
      case 2:
        device.applyMacAddress(value);
        require(device.macAddressText.size() == 17);
        break;
      case 3:
        device.applyName(value);
        require(device.deviceName.size() <= 16);
        for (QChar c : device.deviceName) require(c.unicode() >= 0x20 && c.unicode() <= 0x7E);
        break;
      default:
        device.applyI2cAddress(value[0]);
        require(device.i2cAddressText.startsWith(QStringLiteral("0x")));
        break;
    }
  }
  return 0;
}
