// Arbitrary datagrams into the discovery engine's reply assembler. The first input byte
// chooses how the rest is cut into datagrams and which device index goes with them, so
// frames split, merged and truncated at any place reach the handlers. No file, no socket.
#include "FuzzCheck.h"
#include "FuzzTargets.h"
#include "common/Globalfunctions.h"
#include "common/UiHooks.h"
#include "discovery/ScanOrvaneModule.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

// One engine for the whole run: the assembler state is deliberately kept across inputs,
// as it is across scans.
std::unique_ptr<ORVCScanOrvaneDevice>& engine() {
  static std::unique_ptr<ORVCScanOrvaneDevice> e = [] {
    configureErrorLog(0, QString(), QStringLiteral("fuzz"));
    configureGeneralLog(0, 255, false, false, QStringLiteral("fuzz"));
    orvane::ui::setMessageBoxHandler([](const QString&, const QString&, orvane::ui::BoxIcon) {});
    return std::make_unique<ORVCScanOrvaneDevice>(0);
  }();
  return e;
}

}  // namespace

int orvane::fuzz::fuzzOneReceiveUdp(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  ORVCScanOrvaneDevice& scanner = *engine();
  const uint8_t control = data[0];
  ++data;
  --size;

  // Datagram length and device index come from the control byte.
  const size_t chunk = size_t(control & 0x3F) + 1;
  const int index = (control & 0x40) ? int(control & 0x03) - 1 : -1;  // -1 .. 2
  size_t pos = 0;
  while (pos < size) {
    const size_t n = (control & 0x80) ? size - pos : std::min(chunk, size - pos);
    // Exact-size copy: any read past the datagram is caught by the sanitizer.
    std::vector<quint8> datagram(data + pos, data + pos + n);
    scanner.receiveUDP(datagram.data(), int(datagram.size()), QStringLiteral("10.77.1.1"), 7010, index);
    pos += n;
  }

  // The payload walk on its own, without the frame around it.
  std::vector<quint8> payload(data, data + size);
  scanner.receiveUDP_IPData(payload.data(), int(payload.size()), QStringLiteral("10.77.1.2"));
  scanner.receiveUDP_I2CData(payload.data(), int(payload.size()), QStringLiteral("10.77.1.2"), index);

  // Keep the lists from growing without bound over a long run.
  if (scanner.networkDevices().size() > 4096) engine() = std::make_unique<ORVCScanOrvaneDevice>(0);
  return 0;
}
