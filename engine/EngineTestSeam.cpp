#include "engine/EngineTestSeam.h"

#include "engine/ORVCRoVivazavaPrivate.h"

#include <unistd.h>

using P = ORVCRoVivazavaPrivate;
using State = P::State;

namespace {
bool isState(int state) { return state >= 0 && state < P::kStateCount; }
}  // namespace

bool ORVCRoVivazavaTestSeam::waitsForAnswer(int state) { return isState(state) && P::waitsForAnswer(State(state)); }

bool ORVCRoVivazavaTestSeam::waitsForTimer(int state) {
  return isState(state) && P::rowOf(State(state)).runsOn == P::Event::Timer;
}

quint16 ORVCRoVivazavaTestSeam::answerPort(const ORVCRoVivazava& engine, int state) {
  const bool upload = isState(state) && P::rowOf(State(state)).step == &P::uploading;
  return upload ? engine.d->settings.filePort : engine.d->settings.commonPort;
}

bool ORVCRoVivazavaTestSeam::enterAwaiting(ORVCRoVivazava& engine, int state, qintptr connectedSocket,
                                           const Selection& selection) {
  P& d = *engine.d;
  if (!waitsForAnswer(state) || d.state != State::Terminal) {
    ::close(int(connectedSocket));
    return false;
  }
  d.endTransfer();
  // A run of its own: no flashing wait has begun, so a failure after flashing is final.
  d.forgetLastRun();
  d.ipAddress = selection.ipAddress;
  d.i2cAddress = selection.i2cAddress;
  d.binFile = selection.binFile;
  d.bi2File = selection.bi2File;
  d.webFile = selection.webFile;
  d.batchMode = selection.batchMode;
  d.splitter.clear();
  d.connectionPort = answerPort(engine, state);
  if (!d.connection.setSocketDescriptor(connectedSocket)) {
    ::close(int(connectedSocket));
    return false;
  }
  // The state that sends the request of a reading state comes right before it.
  d.state = State(state - 1);
  d.sequencerStep();
  return d.state == State(state) && answerAwaited(engine);
}

void ORVCRoVivazavaTestSeam::takeBytes(ORVCRoVivazava& engine, const QByteArray& bytes) { engine.d->takeBytes(bytes); }

bool ORVCRoVivazavaTestSeam::answerAwaited(const ORVCRoVivazava& engine) {
  return engine.d->awaited != P::Awaited::None;
}

void ORVCRoVivazavaTestSeam::stop(ORVCRoVivazava& engine) {
  P& d = *engine.d;
  d.state = State::Terminal;
  d.stepTimer.stop();
  d.stopWait();
  d.endTransfer();
  d.questionOpen = false;
  d.connection.abort();
}
