// Arbitrary datagrams into the discovery engine's reply assembler. The first input byte
// chooses how the rest is cut into datagrams, which device index goes with them and
// whether they alternate between two senders, so frames split, merged and truncated at
// any place, and partial frames of one sender met by another's datagram, reach the
// handlers. No file, no socket.
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
// so that an input also meets whatever partial frame the previous one left.
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
  // With index bits set and chunk bit 0x20, every other datagram comes from a second sender.
  const bool twoSenders = (control & 0x60) == 0x60;
  size_t pos = 0;
  for (int count = 0; pos < size; ++count) {
    const size_t n = (control & 0x80) ? size - pos : std::min(chunk, size - pos);
    // Exact-size copy: any read past the datagram is caught by the sanitizer.
    std::vector<quint8> datagram(data + pos, data + pos + n);
    const bool other = twoSenders && (count % 2) == 1;
    scanner.receiveUDP(datagram.data(), int(datagram.size()), other ? QStringLiteral("10.77.1.3") : QStringLiteral("10.77.1.1"),
                       other ? 40000 : 7010, index);
    pos += n;
  }
  if ((control & 0xC0) == 0x80) scanner.dropPartialFrame();  // as at the end of a scan

  // The payload walk on its own, without the frame around it.
  std::vector<quint8> payload(data, data + size);
  scanner.receiveUDP_IPData(payload.data(), int(payload.size()), QStringLiteral("10.77.1.2"));
  scanner.receiveUDP_I2CData(payload.data(), int(payload.size()), QStringLiteral("10.77.1.2"), index);

  // Keep the lists from growing without bound over a long run.
  if (scanner.networkDevices().size() > 4096) engine() = std::make_unique<ORVCScanOrvaneDevice>(0);
  return 0;
}
