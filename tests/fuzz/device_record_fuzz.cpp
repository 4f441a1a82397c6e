// The record decoding rules on arbitrary value bytes: each step picks a rule and hands
// it exactly the bytes it takes, as the reply handlers do.
#include "FuzzCheck.h"
#include "FuzzTargets.h"
#include "discovery/ORVCOrvaneDevice.h"

#include <cstddef>
#include <cstdint>

int orvane::fuzz::fuzzOneDeviceRecord(const uint8_t* data, size_t size) {
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
        FUZZ_REQUIRE(device.typeHigh == (value[0] << 8 | value[1]));
        FUZZ_REQUIRE(device.typeText.count(QLatin1Char('.')) == 1);
        break;
      case 1:
        device.applyVersions(value);
        FUZZ_REQUIRE((value[0] == 0) == (device.hwVersionText == QLatin1String("-.-")));
        FUZZ_REQUIRE(device.versionPairText().startsWith(device.fwVersionText + QStringLiteral(" / ")));
        break;
      case 2:
        device.applyMacAddress(value);
        FUZZ_REQUIRE(device.macAddressText.size() == 17);
        break;
      case 3:
        device.applyName(value);
        FUZZ_REQUIRE(device.deviceName.size() <= 16);
        for (QChar c : device.deviceName) FUZZ_REQUIRE(c.unicode() >= 0x20 && c.unicode() <= 0x7E);
        break;
      default:
        device.applyI2cAddress(value[0]);
        FUZZ_REQUIRE(device.i2cAddressText.startsWith(QStringLiteral("0x")));
        break;
    }
  }
  return 0;
}
