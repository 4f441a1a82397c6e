// Records of discovered devices: defaults and the decoding rules that turn the value
// bytes of one variable (or I2C register) into fields and display texts.
#include "discovery/ORVCOrvaneDevice.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

QByteArray hex(const char* text) { return QByteArray::fromHex(QByteArray(text)); }
const quint8* u8(const QByteArray& bytes) { return reinterpret_cast<const quint8*>(bytes.constData()); }
std::string s(const QString& text) { return text.toStdString(); }

}  // namespace

TEST(DeviceRecord, DefaultsOfANewRecord) {
  const ORVCOrvaneDevice d;
  EXPECT_EQ(s(d.ipAddressText), "0.0.0.0");
  EXPECT_EQ(s(d.macAddressText), "00.00.00.00.00.00");
  EXPECT_EQ(d.macAddress, (std::array<quint8, 6>{0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(s(d.typeText), "Not defined");
  EXPECT_EQ(d.typeHigh, 0);
  EXPECT_EQ(d.typeLow, 0);
  EXPECT_EQ(s(d.deviceName), "Not defined");
  EXPECT_EQ(s(d.hwVersionText), "Not defined");
  EXPECT_EQ(d.hwVersionMajor, 0);
  EXPECT_EQ(d.hwVersionMinor, 0);
  EXPECT_EQ(s(d.fwVersionText), "Not defined");
  EXPECT_EQ(d.fwVersionMajor, 0);
  EXPECT_EQ(d.fwVersionMinor, 0);
  EXPECT_EQ(s(d.i2cAddressText), "Not defined");
  EXPECT_EQ(d.i2cAddress, 0);
}

TEST(DeviceRecord, TypeIsTwoBigEndianWords) {
  struct Case {
    const char* bytes;
    quint16 high;
    quint16 low;
    const char* text;
  };
  const std::vector<Case> cases = {
      {"00120100", 18, 256, "18.256"},
      {"00120003", 18, 3, "18.3"},
      {"00010008", 1, 8, "1.8"},
      {"00000000", 0, 0, "0.0"},
      {"FFFFFFFF", 65535, 65535, "65535.65535"},
  };
  for (const Case& c : cases) {
    ORVCOrvaneDevice d;
    d.applyType(u8(hex(c.bytes)));
    EXPECT_EQ(d.typeHigh, c.high) << c.bytes;
    EXPECT_EQ(d.typeLow, c.low) << c.bytes;
    EXPECT_EQ(s(d.typeText), c.text) << c.bytes;
  }
}

TEST(DeviceRecord, VersionsInBothLayouts) {
  struct Case {
    const char* bytes;
    int hwMajor, hwMinor, fwMajor, fwMinor;
    const char* hwText;
    const char* fwText;
    const char* pair;
  };
  const std::vector<Case> cases = {
      {"0201030A", 2, 1, 3, 10, "2.1", "3.10", "3.10 / 2.1"},
      {"0003000A", 0, 0, 3, 10, "-.-", "3.10", "3.10 / NA"},
      // First byte 0: two 16-bit words; the high byte of the minor word is not used.
      {"0003050A", 0, 0, 3, 10, "-.-", "3.10", "3.10 / NA"},
      {"01000105", 1, 0, 1, 5, "1.0", "1.5", "1.5 / 1.0"},
      {"FFFFFFFF", 255, 255, 255, 255, "255.255", "255.255", "255.255 / 255.255"},
      {"00000000", 0, 0, 0, 0, "-.-", "0.0", "0.0 / NA"},
  };
  for (const Case& c : cases) {
    const QByteArray bytes = hex(c.bytes);
    ASSERT_EQ(bytes.size(), 4) << c.bytes;
    ORVCOrvaneDevice d;
    d.applyVersions(u8(bytes));
    EXPECT_EQ(d.hwVersionMajor, c.hwMajor) << c.bytes;
    EXPECT_EQ(d.hwVersionMinor, c.hwMinor) << c.bytes;
    EXPECT_EQ(d.fwVersionMajor, c.fwMajor) << c.bytes;
    EXPECT_EQ(d.fwVersionMinor, c.fwMinor) << c.bytes;
    EXPECT_EQ(s(d.hwVersionText), c.hwText) << c.bytes;
    EXPECT_EQ(s(d.fwVersionText), c.fwText) << c.bytes;
    EXPECT_EQ(s(d.versionPairText()), c.pair) << c.bytes;
  }
}

// The numbers scripts get: each value's two halves packed high << 16 | low, exactly what
// its text shows; nothing for a value the device did not send.
TEST(DeviceRecord, ValuesAsNumbers) {
  using Number = std::optional<quint32>;
  const ORVCOrvaneDevice blank;
  EXPECT_EQ(blank.typeNumber(), Number()) << "no type read";
  EXPECT_EQ(blank.fwVersionNumber(), Number()) << "no versions read";
  EXPECT_EQ(blank.hwVersionNumber(), Number()) << "no versions read";
  EXPECT_FALSE(blank.nameRead);

  const struct {
    const char* type;
    const char* versions;
    Number typeNumber, fw, hw;
  } cases[] = {
      {"00120003", "0201030A", 0x00120003, 0x0003000A, 0x00020001},
      {"00010008", "0003000A", 0x00010008, 0x0003000A, Number()},
      {"FFFFFFFF", "0103050A", 0xFFFFFFFF, 0x0005000A, 0x00010003},
      // One-value layout: the record keeps the low byte of each word, and so does its number.
      {"00000000", "0003050A", 0x00000000, 0x0003000A, Number()},
      {"00000000", "00000000", 0x00000000, 0x00000000, Number()},
  };
  for (const auto& c : cases) {
    ORVCOrvaneDevice d;
    d.applyType(u8(hex(c.type)));
    EXPECT_EQ(d.typeNumber(), c.typeNumber) << c.type;
    EXPECT_EQ(d.fwVersionNumber(), Number()) << c.type << ": versions not read yet";
    d.applyVersions(u8(hex(c.versions)));
    EXPECT_EQ(d.fwVersionNumber(), c.fw) << c.versions;
    EXPECT_EQ(d.hwVersionNumber(), c.hw) << c.versions;
  }
  ORVCOrvaneDevice named;
  named.applyName(u8(QByteArray(16, '\0')));
  EXPECT_TRUE(named.nameRead) << "an empty name is a name the device sent";
}

TEST(DeviceRecord, EachRuleSetsEveryFieldItNames) {
  // A device first seen with a hardware version, then with the one-value layout: the
  // hardware fields go back to "none", nothing of the first value survives.
  ORVCOrvaneDevice d;
  d.applyVersions(u8(hex("0201030A")));
  d.applyVersions(u8(hex("00040007")));
  EXPECT_EQ(d.hwVersionMajor, 0);
  EXPECT_EQ(d.hwVersionMinor, 0);
  EXPECT_EQ(s(d.hwVersionText), "-.-");
  EXPECT_EQ(s(d.fwVersionText), "4.7");
  EXPECT_EQ(s(d.versionPairText()), "4.7 / NA");
}

TEST(DeviceRecord, ApplyingTheSameValueTwiceIsApplyingItOnce) {
  const QByteArray type = hex("00120100");
  const QByteArray versions = hex("0201030A");
  const QByteArray mac = hex("000A1B2C3D4E");
  const QByteArray name = QByteArray("Gateway") + QByteArray(9, '\0');

  ORVCOrvaneDevice once;
  once.applyType(u8(type));
  once.applyVersions(u8(versions));
  once.applyMacAddress(u8(mac));
  once.applyName(u8(name));
  once.applyI2cAddress(0x50);

  ORVCOrvaneDevice twice = once;
  twice.applyType(u8(type));
  twice.applyVersions(u8(versions));
  twice.applyMacAddress(u8(mac));
  twice.applyName(u8(name));
  twice.applyI2cAddress(0x50);

  EXPECT_EQ(twice.typeText, once.typeText);
  EXPECT_EQ(twice.typeHigh, once.typeHigh);
  EXPECT_EQ(twice.typeLow, once.typeLow);
  EXPECT_EQ(twice.hwVersionText, once.hwVersionText);
  EXPECT_EQ(twice.fwVersionText, once.fwVersionText);
  EXPECT_EQ(twice.hwVersionMajor, once.hwVersionMajor);
  EXPECT_EQ(twice.fwVersionMinor, once.fwVersionMinor);
  EXPECT_EQ(twice.macAddressText, once.macAddressText);
  EXPECT_EQ(twice.macAddress, once.macAddress);
  EXPECT_EQ(twice.deviceName, once.deviceName);
  EXPECT_EQ(twice.i2cAddressText, once.i2cAddressText);
}

TEST(DeviceRecord, MacAddressWithDashesUpperCaseLeadingZerosKept) {
  struct Case {
    const char* bytes;
    const char* text;
  };
  const std::vector<Case> cases = {
      {"000A1B2C3D4E", "00-0A-1B-2C-3D-4E"},
      {"001A2B3C4D5E", "00-1A-2B-3C-4D-5E"},
      {"000000000000", "00-00-00-00-00-00"},
      {"FFFFFFFFFFFF", "FF-FF-FF-FF-FF-FF"},
      {"0200AB4D0101", "02-00-AB-4D-01-01"},
  };
  for (const Case& c : cases) {
    const QByteArray bytes = hex(c.bytes);
    ORVCOrvaneDevice d;
    d.applyMacAddress(u8(bytes));
    EXPECT_EQ(s(d.macAddressText), c.text);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(d.macAddress[size_t(i)], quint8(bytes[i])) << c.bytes << " byte " << i;
  }
}

TEST(DeviceRecord, NameEndsAtTheFirstZeroByte) {
  struct Case {
    const char* what;
    QByteArray bytes;  // always 16
    const char* name;
  };
  const std::vector<Case> cases = {
      {"five letters and eleven zeros", QByteArray("Gatew") + QByteArray(11, '\0'), "Gatew"},
      {"sixteen letters", QByteArray("ABCDEFGHIJKLMNOP"), "ABCDEFGHIJKLMNOP"},
      {"empty", QByteArray(16, '\0'), ""},
      {"text after the zero is not shown", QByteArray("AB\0CDEFGHIJKLMNO", 16), "AB"},
      {"blank and punctuation kept", QByteArray("Sim 1 (lab)~") + QByteArray(4, '\0'), "Sim 1 (lab)~"},
      // Bytes outside printable ASCII are shown as '?'.
      {"control and high bytes", QByteArray("A\x07" "B\x7F" "C\xE9" "D\x1F", 8) + QByteArray(8, '\0'), "A?B?C?D?"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(c.bytes.size(), 16) << c.what;
    ORVCOrvaneDevice d;
    d.applyName(u8(c.bytes));
    EXPECT_EQ(s(d.deviceName), c.name) << c.what;
  }
}

TEST(DeviceRecord, I2cAddressText) {
  struct Case {
    quint8 address;
    const char* text;
  };
  const std::vector<Case> cases = {
      {0x0A, "0x0A (10)"}, {0x50, "0x50 (80)"}, {0x08, "0x08 (8)"},
      {0x77, "0x77 (119)"}, {0x00, "0x00 (0)"}, {0xFF, "0xFF (255)"},
  };
  for (const Case& c : cases) {
    ORVCOrvaneDevice d;
    d.applyI2cAddress(c.address);
    EXPECT_EQ(d.i2cAddress, c.address);
    EXPECT_EQ(s(d.i2cAddressText), c.text);
  }
}

TEST(DeviceRecord, ARecordWithoutVersionsKeepsNotDefined) {
  ORVCOrvaneDevice d;
  d.applyType(u8(hex("00120100")));
  d.applyMacAddress(u8(hex("000A1B2C3D4E")));
  d.applyName(u8(QByteArray("Gateway") + QByteArray(9, '\0')));
  EXPECT_EQ(s(d.fwVersionText), "Not defined");
  EXPECT_EQ(s(d.hwVersionText), "Not defined");
  EXPECT_EQ(s(d.versionPairText()), "Not defined / NA");
  // Rules leave the fields they do not name alone.
  EXPECT_EQ(s(d.i2cAddressText), "Not defined");
  EXPECT_EQ(s(d.ipAddressText), "0.0.0.0");
}

TEST(DeviceRecord, GatewaysAreTypesOneAndEight) {
  struct Case {
    const char* typeBytes;
    bool gateway;
  };
  const std::vector<Case> cases = {
      {"00010003", true},  {"00010000", true},  {"00080001", true},  {"0008FFFF", true},
      {"00000001", false}, {"00020001", false}, {"00070008", false}, {"00090001", false},
      {"00120003", false}, {"00110008", false},
      // 257.0 and 264.0: the whole first word counts, not its low byte.
      {"01010000", false}, {"01080000", false},
  };
  for (const Case& c : cases) {
    ORVCOrvaneDevice d;
    d.applyType(u8(hex(c.typeBytes)));
    EXPECT_EQ(d.isGateway(), c.gateway) << c.typeBytes;
  }
  EXPECT_FALSE(ORVCOrvaneDevice().isGateway()) << "a record without a type";
}
