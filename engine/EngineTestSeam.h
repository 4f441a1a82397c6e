#pragma once

#include "engine/ORVCRoVivazava.h"

#include <QByteArray>
#include <QString>

// A way into the engine's answer handling without a device: tests put an idle engine in
// a state that reads the device's answer, on a connected socket they own, and hand it
// bytes as a read event would. The program never uses it.
class ORVCRoVivazavaTestSeam {
 public:
  // The upgrade as startUpgrade would take it.
  struct Selection {
    QString ipAddress;
    int i2cAddress = 0;
    const QByteArray* binFile = nullptr;
    const QByteArray* bi2File = nullptr;
    const QByteArray* webFile = nullptr;
    bool batchMode = false;
  };

  // The states whose step runs on the device's answer, and those that wait for the step timer.
  static bool waitsForAnswer(int state);
  static bool waitsForTimer(int state);
  // The port of the answers `state` reads: the file port for an upload, else the common port.
  static quint16 answerPort(const ORVCRoVivazava& engine, int state);

  // From no upgrade running: adopts `connectedSocket` as the connection to the answer
  // port of `state`, then runs the step before it, which sends the request `state` waits
  // for. True when the engine is in `state` with that request in flight. The socket is
  // the engine's from the call on, also when it returns false.
  static bool enterAwaiting(ORVCRoVivazava& engine, int state, qintptr connectedSocket, const Selection& selection);
  // Bytes as a read event on the connection delivers them.
  static void takeBytes(ORVCRoVivazava& engine, const QByteArray& bytes);
  // A request is in flight and waits for its answer.
  static bool answerAwaited(const ORVCRoVivazava& engine);
  // Ends whatever runs, without a report, and drops the connection.
  static void stop(ORVCRoVivazava& engine);
};
