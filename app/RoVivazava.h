#pragma once

#include "app/CommandLine.h"

#include <QtGlobal>
#include <QString>
#include <QStringList>

// The entry point of the upgrader (wWinMain in the log entries of source "RoVivazava"):
// log set-up, the command line (app/CommandLine.h), the choice of the mode, then the
// windows or the run for scripts.

// The arguments of main() without the program name, each byte-exact (common/FileNames.h):
// a file name that is not valid UTF-8 still names its file.
QStringList argumentsFromArgv(int argc, char** argv);

// Directory of the running executable, without a trailing "/".
QString executableDirectory(const char* argv0);

// "<home>/Orvane_Data" (created when missing), or the executable's directory when the
// home directory cannot be determined (HOME unset or empty).
QString prepareLogDirectory(const QString& executableDir);

// True when a batch run has no screen to show its window on (neither DISPLAY nor
// WAYLAND_DISPLAY) and no platform was chosen (QT_QPA_PLATFORM unset): it then runs on
// Qt's offscreen platform.
bool batchNeedsOffscreenPlatform();

// The line for standard error when the window cannot open for want of a display, or an
// empty text. It cannot open when no platform was chosen (QT_QPA_PLATFORM unset) and
// neither WAYLAND_DISPLAY nor DISPLAY is set, or DISPLAY names a local X display (":N")
// whose socket "X<N>" is missing from `x11SocketDirectory`.
QString missingDisplayLine(const QString& x11SocketDirectory = QStringLiteral("/tmp/.X11-unix"));

// From here on, Qt's own messages (warnings of its plugins and classes) go to the error
// log file as general entries instead of standard error: a run for scripts keeps its
// standard error for its own lines. Returns the handler it replaces.
QtMessageHandler routeQtMessagesToLog();

// The whole start-up: returns the process exit code.
int runRoVivazava(int argc, char** argv);
