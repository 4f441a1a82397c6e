#include "app/HeadlessScan.h"

#include "app/ExitCodes.h"
#include "app/FleetTargets.h"
#include "app/TerminalProgress.h"
#include "common/UiHooks.h"
#include "common/Utilsfunctions.h"
#include "discovery/ScanOrvaneModule.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>

namespace {

void writeStdout(const QByteArray& bytes) {
  std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
  std::fflush(stdout);
}

void writeStderr(const QString& text) {
  const QByteArray bytes = text.toUtf8() + '\n';
  std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
  std::fflush(stderr);
}

using Records = std::vector<const ORVCOrvaneDevice*>;

// The order the scan dialogs show: ascending caption, compared by character codes.
Records sortedBy(const std::vector<std::unique_ptr<ORVCOrvaneDevice>>& devices,
                 QString ORVCOrvaneDevice::*caption) {
  Records records;
  records.reserve(devices.size());
  for (const auto& d : devices) records.push_back(d.get());
  std::stable_sort(records.begin(), records.end(), [caption](const ORVCOrvaneDevice* a, const ORVCOrvaneDevice* b) {
    return QString::compare(a->*caption, b->*caption, Qt::CaseSensitive) < 0;
  });
  return records;
}

// A value as scripts read it: the number beside the text shown, or null when the device
// sent no such value.
QJsonValue numberAndText(std::optional<quint32> number, const QString& text) {
  if (!number) return QJsonValue(QJsonValue::Null);
  return QJsonObject{{QStringLiteral("number"), qint64(*number)}, {QStringLiteral("text"), text}};
}

QJsonValue nameValue(const ORVCOrvaneDevice& d) {
  return d.nameRead ? QJsonValue(d.deviceName) : QJsonValue(QJsonValue::Null);
}

// One listed column: its JSON key, the record's text shown in the tab-separated line, and
// the value in the JSON object.
struct Column {
  const char* key;
  QString ORVCOrvaneDevice::*text;
  QJsonValue (*json)(const ORVCOrvaneDevice&);
};

QJsonValue macJson(const ORVCOrvaneDevice& d) { return d.macAddressText; }
QJsonValue ipJson(const ORVCOrvaneDevice& d) { return d.ipAddressText; }
QJsonValue i2cAddressJson(const ORVCOrvaneDevice& d) { return int(d.i2cAddress); }
QJsonValue typeJson(const ORVCOrvaneDevice& d) { return numberAndText(d.typeNumber(), d.typeText); }
QJsonValue fwJson(const ORVCOrvaneDevice& d) { return numberAndText(d.fwVersionNumber(), d.fwVersionText); }
QJsonValue hwJson(const ORVCOrvaneDevice& d) { return numberAndText(d.hwVersionNumber(), d.hwVersionText); }

const Column kType{"type", &ORVCOrvaneDevice::typeText, typeJson};
const Column kFw{"fw", &ORVCOrvaneDevice::fwVersionText, fwJson};
const Column kHw{"hw", &ORVCOrvaneDevice::hwVersionText, hwJson};
const Column kName{"name", &ORVCOrvaneDevice::deviceName, nameValue};

const std::vector<Column> kNetworkColumns = {{"mac", &ORVCOrvaneDevice::macAddressText, macJson},
                                             {"ip", &ORVCOrvaneDevice::ipAddressText, ipJson},
                                             kType, kFw, kHw, kName};

const std::vector<Column> kI2cColumns = {{"i2cAddress", &ORVCOrvaneDevice::i2cAddressText, i2cAddressJson},
                                         kType, kFw, kHw, kName};

// Tab-separated lines, or a JSON array of objects with the columns' keys.
// One device a line, tab-separated; a field (a name from the network) never breaks a line.
void printDevices(const Records& records, const std::vector<Column>& columns, bool json) {
  if (json) {
    QJsonArray array;
    for (const ORVCOrvaneDevice* d : records) {
      QJsonObject object;
      for (const Column& c : columns) object.insert(QLatin1String(c.key), c.json(*d));
      array.append(object);
    }
    writeStdout(QJsonDocument(array).toJson(QJsonDocument::Indented));
    return;
  }
  QByteArray out;
  for (const ORVCOrvaneDevice* d : records) {
    QStringList fields;
    for (const Column& c : columns) fields << printableText(d->*c.text);
    out += fields.join(QLatin1Char('\t')).toUtf8() + '\n';
  }
  writeStdout(out);
}

// "--scan-i2c ADDRESS": the bus behind one gateway. No list answer at all is told apart
// from an empty bus: the first is the exit code for an unreachable device.
int scanI2cBus(const QString& address, bool json) {
  ORVCScanOrvaneDevice scanner(kDiscoveryReplyWaitMs);
  scanner.scanI2CBus(address);
  if (!scanner.i2cScanAnswered()) {
    writeStderr(QStringLiteral("orvane-upgrader: ") + address +
                QStringLiteral(" did not answer the I2C bus scan (not a gateway, service not running, or switched off)"));
    return kExitUnreachable;
  }
  printDevices(sortedBy(scanner.i2cDevices(), &ORVCOrvaneDevice::i2cAddressText), kI2cColumns, json);
  return kExitDone;
}

// "--scan --targets FILE": every address of the file's lines, asked directly. The files a
// line names are for a fleet run; a listing ignores them.
int scanTargets(const QString& path, bool json) {
  const FleetTargets targets = readFleetTargetsFile(path);
  if (!targets.ok()) {
    writeStderr(QStringLiteral("orvane-upgrader: ") + targets.error);
    return kExitRefused;
  }
  ORVCScanOrvaneDevice scanner(kDiscoveryReplyWaitMs);
  const bool sent = scanner.scanAddresses(fleetTargetAddresses(targets));
  printDevices(sortedBy(scanner.networkDevices(), &ORVCOrvaneDevice::macAddressText), kNetworkColumns, json);
  if (!sent) {
    writeStderr(QStringLiteral("No discovery request could be sent to the addresses of ") + path +
                QStringLiteral("; see the error log for the cause."));
    return kExitFailed;
  }
  return kExitDone;
}

}  // namespace

bool isHeadlessScanRequest(const QStringList& arguments) {
  return arguments.contains(QStringLiteral("--scan")) || arguments.contains(QStringLiteral("--scan-i2c"));
}

int runHeadlessScan(const QStringList& arguments) {
  const bool json = arguments.contains(QStringLiteral("--json"));

  // Without a window there is nobody to click a message box away: boxes (such as
  // "Unknown variable in IP Packet.") become lines on standard error.
  orvane::ui::setMessageBoxHandler([](const QString& caption, const QString& text, orvane::ui::BoxIcon) {
    writeStderr(caption.isEmpty() ? text : caption + QStringLiteral(": ") + text);
  });

  const qsizetype i2cOption = arguments.indexOf(QStringLiteral("--scan-i2c"));
  const qsizetype targetsOption = arguments.indexOf(QStringLiteral("--targets"));
  if (targetsOption >= 0 && (i2cOption >= 0 || !arguments.contains(QStringLiteral("--scan")))) {
    writeStderr(QStringLiteral("orvane-upgrader: --targets FILE goes with --scan (not with --scan-i2c)"));
    return kExitRefused;
  }
  if (targetsOption >= 0) {
    const QString path = targetsOption + 1 < arguments.size() ? arguments.at(targetsOption + 1) : QString();
    if (path.isEmpty() || path.startsWith(QLatin1String("--"))) {
      writeStderr(QStringLiteral("orvane-upgrader: --targets needs FILE, a targets file (one address, range or "
                                 "CIDR block a line)"));
      return kExitRefused;
    }
    return scanTargets(path, json);
  }
  if (i2cOption >= 0) {
    const QString address = i2cOption + 1 < arguments.size() ? arguments.at(i2cOption + 1) : QString();
    if (!isValidIpText(address)) {
      writeStderr(QStringLiteral("--scan-i2c needs the IPv4 address of the network device in dotted decimal "
                                 "(for example 10.0.0.5), got \"") +
                  address + QStringLiteral("\"."));
      return kExitRefused;
    }
    return scanI2cBus(address, json);
  }

  ORVCScanOrvaneDevice scanner(kDiscoveryReplyWaitMs);
  const bool sent = scanner.scanOrvaneDevice();
  printDevices(sortedBy(scanner.networkDevices(), &ORVCOrvaneDevice::macAddressText), kNetworkColumns, json);
  if (!sent) {
    // The devices listed answered the interfaces tried before the failure; the error
    // log names the interface step that failed.
    writeStderr(QStringLiteral("The discovery request could not be sent on every interface (sendSocket failed.); "
                               "the list may be incomplete. See the error log for the cause."));
    return kExitFailed;
  }
  return kExitDone;
}
