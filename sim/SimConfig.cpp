#include "sim/SimConfig.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QSet>

namespace orvane::sim {
namespace {

bool hexField(const QJsonObject& o, const char* key, int size, QByteArray& out, QString& error,
              const QByteArray& fallback) {
  if (!o.contains(QLatin1String(key))) {
    out = fallback;
    return true;
  }
  QString text = o.value(QLatin1String(key)).toString();
  text.remove(QLatin1Char('-')).remove(QLatin1Char(':')).remove(QLatin1Char(' '));
  const QByteArray bytes = QByteArray::fromHex(text.toLatin1());
  if (bytes.size() != size || text.size() != size * 2) {
    error = QStringLiteral("\"%1\" must be %2 bytes in hex, got \"%3\"")
                .arg(QLatin1String(key))
                .arg(size)
                .arg(o.value(QLatin1String(key)).toString());
    return false;
  }
  out = bytes;
  return true;
}

QByteArray nameField(const QString& text) {
  QByteArray name = text.toLatin1().left(16);
  name.append(QByteArray(16 - name.size(), '\0'));
  return name;
}

QList<int> intList(const QJsonValue& v) {
  QList<int> out;
  for (const QJsonValue& x : v.toArray()) out.append(x.toInt());
  return out;
}

// The UDP flood and repeat switches; false with the reason on a value out of range.
bool parseUdpFloodFaults(const QJsonObject& f, Faults& faults, QString& error) {
  const QJsonObject flood = f.value(QLatin1String("udpFlood")).toObject();
  faults.udpFlood.records = flood.value(QLatin1String("records")).toInt(0);
  faults.udpFlood.perDatagram = flood.value(QLatin1String("perDatagram")).toInt(1000);
  faults.udpFlood.forMs = flood.value(QLatin1String("forMs")).toInt(0);
  faults.udpFlood.everyMs = flood.value(QLatin1String("everyMs")).toInt(20);
  // 1900 records of 34 bytes is the most one datagram can carry.
  if (faults.udpFlood.records < 0 || faults.udpFlood.perDatagram < 1 || faults.udpFlood.perDatagram > 1900 ||
      faults.udpFlood.everyMs < 1) {
    error = QStringLiteral("udpFlood needs records >= 0, perDatagram 1..1900 and everyMs >= 1");
    return false;
  }
  const QJsonObject repeat = f.value(QLatin1String("udpRawRepeat")).toObject();
  faults.udpRawRepeat.everyMs = repeat.value(QLatin1String("everyMs")).toInt(0);
  faults.udpRawRepeat.times = repeat.value(QLatin1String("times")).toInt(0);
  if (faults.udpRawRepeat.everyMs < 0 || faults.udpRawRepeat.times < 0) {
    error = QStringLiteral("udpRawRepeat needs everyMs >= 0 and times >= 0");
    return false;
  }
  return true;
}

bool parseFaults(const QJsonObject& f, Faults& faults, QString& error) {
  faults.silentPorts = intList(f.value(QLatin1String("silentPorts")));
  faults.refusePorts = intList(f.value(QLatin1String("refusePorts")));
  if (f.contains(QLatin1String("closeAtRequest"))) {
    const QJsonObject c = f.value(QLatin1String("closeAtRequest")).toObject();
    faults.closeAtRequest = PortIndex{c.value(QLatin1String("port")).toInt(), c.value(QLatin1String("index")).toInt()};
  }
  for (const QJsonValue& v : f.value(QLatin1String("repeatAnswer")).toArray()) {
    const QJsonObject r = v.toObject();
    faults.repeatAnswer.append(PortIndex{r.value(QLatin1String("port")).toInt(), r.value(QLatin1String("index")).toInt()});
  }
  for (const QJsonValue& v : f.value(QLatin1String("tcpRaw")).toArray()) {
    const QJsonObject r = v.toObject();
    RawTcpAnswer raw;
    raw.port = r.value(QLatin1String("port")).toInt();
    raw.index = r.value(QLatin1String("index")).toInt();
    const QString hex = r.value(QLatin1String("hex")).toString().remove(QLatin1Char(' '));
    raw.bytes = QByteArray::fromHex(hex.toLatin1());
    if (raw.bytes.size() * 2 != hex.size()) {
      error = QStringLiteral("tcpRaw hex \"%1\" is not hex").arg(hex);
      return false;
    }
    raw.split = intList(r.value(QLatin1String("split")));
    faults.tcpRaw.append(raw);
  }
  if (f.contains(QLatin1String("uploadStatusText"))) {
    const QJsonObject u = f.value(QLatin1String("uploadStatusText")).toObject();
    faults.uploadStatusIndex = u.value(QLatin1String("index")).toInt();
    faults.uploadStatusText = u.value(QLatin1String("text")).toString();
  }
  if (f.contains(QLatin1String("i2cError"))) {
    const QJsonObject e = f.value(QLatin1String("i2cError")).toObject();
    faults.i2cErrorIndex = e.value(QLatin1String("index")).toInt();
    faults.i2cErrorCode = e.value(QLatin1String("code")).toInt(2);
  }
  faults.silentAfterReset = f.value(QLatin1String("silentAfterReset")).toBool(false);
  faults.corruptReadback = f.value(QLatin1String("corruptReadback")).toInt(-1);
  faults.corruptI2cReadback = f.value(QLatin1String("corruptI2cReadback")).toInt(-1);
  faults.http = f.value(QLatin1String("http")).toString(QStringLiteral("ok"));
  static const QSet<QString> httpModes{QStringLiteral("ok"), QStringLiteral("404"), QStringLiteral("302"),
                                       QStringLiteral("empty"), QStringLiteral("silent")};
  if (!httpModes.contains(faults.http)) {
    error = QStringLiteral("unknown http mode \"%1\"").arg(faults.http);
    return false;
  }
  if (!hexField(f, "versionAfterFlash", 4, faults.versionAfterFlash, error, {})) return false;
  if (!hexField(f, "i2cVersionAfterFlash", 4, faults.i2cVersionAfterFlash, error, {})) return false;
  faults.udpReplyDelayMs = f.value(QLatin1String("udpReplyDelayMs")).toInt(0);
  faults.udpBadChecksum = f.value(QLatin1String("udpBadChecksum")).toBool(false);
  faults.udpSplitReply = f.value(QLatin1String("udpSplitReply")).toBool(false);
  faults.udpDoubleReply = f.value(QLatin1String("udpDoubleReply")).toBool(false);
  faults.udpUnknownVariable = f.value(QLatin1String("udpUnknownVariable")).toInt(-1);
  faults.udpOmitVariables = intList(f.value(QLatin1String("udpOmitVariables")));
  const QJsonObject raw = f.value(QLatin1String("udpRaw")).toObject();
  for (auto it = raw.begin(); it != raw.end(); ++it) {
    bool ok = false;
    const int code = it.key().toInt(&ok, 16);
    if (!ok) {
      error = QStringLiteral("udpRaw key \"%1\" is not a hex code").arg(it.key());
      return false;
    }
    QList<QByteArray> datagrams;
    for (const QJsonValue& d : it.value().toArray()) {
      const QString hex = d.toString().remove(QLatin1Char(' '));
      datagrams.append(QByteArray::fromHex(hex.toLatin1()));
    }
    faults.udpRaw.insert(code, datagrams);
  }
  return parseUdpFloodFaults(f, faults, error);
}

}  // namespace

bool parseConfig(const QJsonObject& root, QList<DeviceConfig>& devices, QString& error) {
  const QJsonArray list = root.value(QLatin1String("devices")).toArray();
  QSet<quint32> seen;
  for (int i = 0; i < list.size(); ++i) {
    const QJsonObject o = list.at(i).toObject();
    DeviceConfig d;
    d.address = o.value(QLatin1String("address")).toString();
    QHostAddress host;
    if (!host.setAddress(d.address) || host.protocol() != QAbstractSocket::IPv4Protocol) {
      error = QStringLiteral("device %1: \"%2\" is not an IPv4 address").arg(i).arg(d.address);
      return false;
    }
    d.address4 = host.toIPv4Address();
    if (seen.contains(d.address4)) {
      error = QStringLiteral("device %1: address %2 configured twice").arg(i).arg(d.address);
      return false;
    }
    seen.insert(d.address4);
    const QByteArray defaultMac = QByteArray::fromHex("0200") + QByteArray::fromHex(QByteArray::number(d.address4, 16).rightJustified(8, '0'));
    QString why;
    if (!hexField(o, "type", 4, d.type, why, QByteArray::fromHex("00010001")) ||
        !hexField(o, "versionWord", 4, d.versionWord, why, QByteArray::fromHex("00010000")) ||
        !hexField(o, "mac", 6, d.mac, why, defaultMac)) {
      error = QStringLiteral("device %1: %2").arg(d.address, why);
      return false;
    }
    d.name = nameField(o.value(QLatin1String("name")).toString(QStringLiteral("Sim %1").arg(d.address4 & 0xFF)));
    d.flashTimeMs = o.value(QLatin1String("flashTimeMs")).toInt(1000);
    d.replyDelayMs = o.value(QLatin1String("replyDelayMs")).toInt(0);
    for (const QJsonValue& v : o.value(QLatin1String("i2c")).toArray()) {
      const QJsonObject c = v.toObject();
      I2cDeviceConfig i2c;
      i2c.address = c.value(QLatin1String("address")).toInt(-1);
      if (i2c.address < 0 || i2c.address > 127) {
        error = QStringLiteral("device %1: I2C address %2 outside 0..127").arg(d.address).arg(i2c.address);
        return false;
      }
      if (!hexField(c, "type", 4, i2c.type, why, QByteArray::fromHex("00050001")) ||
          !hexField(c, "versionWord", 4, i2c.versionWord, why, QByteArray::fromHex("00010000"))) {
        error = QStringLiteral("device %1, I2C %2: %3").arg(d.address).arg(i2c.address).arg(why);
        return false;
      }
      i2c.name = nameField(c.value(QLatin1String("name")).toString(QStringLiteral("I2C %1").arg(i2c.address)));
      d.i2c.append(i2c);
    }
    if (!parseFaults(o.value(QLatin1String("faults")).toObject(), d.faults, why)) {
      error = QStringLiteral("device %1: %2").arg(d.address, why);
      return false;
    }
    devices.append(d);
  }
  return true;
}

}  // namespace orvane::sim
