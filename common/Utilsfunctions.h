#pragma once

#include <QString>

// True when the text is an IPv4 address in dotted decimal: exactly three dots and four
// parts, each a number from 0 to 255.
bool isValidIpText(const QString& text);

// Asks the system to forget the ARP cache entry of the address: starts
// "ip neigh flush to ADDRESS" (or "arp -d ADDRESS" where ip is missing) without a shell,
// without waiting and without looking at the result.
void resetArpEntry(const QString& address);
