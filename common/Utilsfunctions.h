#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>

// The one reader of IPv4 texts: dotted decimal, exactly three dots and four parts, each a
// plain decimal number from 0 to 255 without a leading zero. The address in host order.
std::optional<quint32> parseIpv4Text(const QString& text);

// True when parseIpv4Text accepts the text.
bool isValidIpText(const QString& text);

// Asks the system to forget the ARP cache entry of the address: starts
// "ip neigh flush to ADDRESS" (or "arp -d ADDRESS" where ip is missing) without a shell,
// without waiting and without looking at the result.
void resetArpEntry(const QString& address);
