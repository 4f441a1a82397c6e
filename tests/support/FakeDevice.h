#pragma once

#include "EngineProbe.h"
#include "engine/ORVCRoVivazava.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QStringList>
#include <functional>
#include <memory>

// An Orvane network device with one I2C device behind it, on loopback only (127.0.0.1,
// ephemeral ports). Its normal answers on the common port, the file port and the HTTP
// readback come from the simulator's device model (sim/SimDevice), driven in-process, so
// that the device behaves the same here as in the lab; `script` replaces single answers
// with what the model cannot express (crafted bytes, cuts, silence, a close), and setHttp
// can also make the readback connection be reset. The common port and the file port are
// served on the calling thread's event loop, the HTTP readback by a small thread of its
// own (the engine's readback blocks the event loop).
namespace orvane::test {

class FakeDevice {
 public:
  enum class Port { Common, File };
  enum class Http { Ok, NotFound, Redirect, Empty, Silent, Reset };

  // What to do with one request instead of (or as) the device's own answer. Normal: the
  // model's answer. Bytes and Silent: the model takes the request (its state moves on, as
  // for a lost or garbled answer) but these bytes, or nothing, are sent. Close: the
  // connection closes before the model sees the request.
  struct Reply {
    enum Kind { Normal, Bytes, Silent, Close };
    Kind kind = Normal;
    QByteArray bytes;
    QList<int> cuts;   // Normal or Bytes: the answer sent in pieces cut at these offsets, a few ms apart
  };
  // index: 1-based count of requests on that port over the device's life.
  using Script = std::function<Reply(Port port, int index, const QByteArray& frame)>;

  FakeDevice();
  ~FakeDevice();
  FakeDevice(const FakeDevice&) = delete;
  FakeDevice& operator=(const FakeDevice&) = delete;

  bool listening() const;
  quint16 commonPort() const;
  quint16 filePort() const;
  quint16 httpPort() const;
  // Stops accepting on a port: later connects are refused.
  void refuse(Port port);

  // --- The device model ---
  // What the device reports; the fields follow the device (a flashing changes them) and a
  // change takes effect at the next request. i2cAddress must be set before the first one.
  QByteArray type = QByteArray::fromHex("00010001");        // variable 0
  QByteArray versionWord = QByteArray::fromHex("00010000"); // variable 1
  QByteArray versionAfterFlash;                             // else the activated file's version
  int i2cAddress = 80;
  QByteArray i2cType = QByteArray::fromHex("00050001");
  QByteArray i2cVersionWord = QByteArray::fromHex("00010002");
  QByteArray i2cVersionAfterFlash;                          // else the flashed image's version
  int corruptI2cReadback = -1;                              // image index inverted when read back
  // How long a restart lasts: after a reset the ports refuse connections, and after its
  // flashing the I2C device is absent from the bus, for this long. 0: back at once.
  int restartMs = 0;
  Script script;

  void setHttp(Http mode, int corruptIndex = -1);

  // --- What it saw ---
  QList<QByteArray> received(Port port) const;
  QByteArray uploadedImage() const;
  qint64 activatedLength() const;
  int flashCount() const;
  int i2cFlashCount() const;
  QByteArray i2cImage() const;
  int openConnections(Port port) const;
  int connectionsAccepted(Port port) const;
  QStringList httpRequests() const;
  // Requests the device model refused as not following the protocol ("port N: detail").
  QStringList violations() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> d;
};

// A fake device, an engine bound to it with short waits, and a probe of its reports.
struct LoopbackRig {
  explicit LoopbackRig(const std::function<void(EngineSettings&)>& adjust = {});
  ~LoopbackRig();
  // Loads the identification block of the files into the engine's sets and starts.
  bool start(const QByteArray* bin, const QByteArray* bi2, const QByteArray* web, bool batch = true,
             int i2cAddress = 80);
  bool runToEnd(int timeoutMs = 15000) { return waitForEnd(*engine, probe, timeoutMs); }

  FakeDevice device;
  EngineProbe probe;
  EngineSettings settings;
  bool constructed = false;
  std::unique_ptr<ORVCRoVivazava> engine;
  QStringList pinged;   // addresses the reachability test was asked about
  bool reachable = true;
};

}  // namespace orvane::test
