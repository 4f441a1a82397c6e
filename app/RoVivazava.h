#pragma once

#include "app/GlobalSelection.h"

#include <QList>
#include <QString>
#include <QStringList>

// The entry point of the upgrader (wWinMain in the log entries of source "RoVivazava"):
// log set-up, the command line, the choice between interactive and batch mode, then the
// windows.

// One error entry the command line produces, with the line number it is logged under.
struct CommandLineMessage {
  int line = 0;
  QString text;
};

enum class CommandLineResult {
  Interactive,  // no batch request: the windows open for the operator
  Batch,        // a consistent batch request: one upgrade runs without questions
  Refused,      // a bad address or inconsistent options: the program ends at once
};

struct CommandLineOutcome {
  GlobalSelection selection;
  int errorOutputs = 1;    // LogToFile; "-DebugMsg" adds the message box
  int generalOutputs = 0;  // "-NoLogFile" removes LogToFile
  QList<CommandLineMessage> messages;  // error entries, in the order they were found
  CommandLineResult result = CommandLineResult::Interactive;
};

// Line number of the "-IP" refusal in the error log; operators' scripts look for it.
inline constexpr int kInvalidIpLogLine = 107;
// Exit code of a command line that was refused.
inline constexpr int kExitRefusedCommandLine = 2;

// Reads the arguments (without the program name) into a selection, starting from the
// initial values. A relative file value is taken from `executableDir`; an absolute one
// is used as it is. Nothing is logged here: the caller writes `messages`.
CommandLineOutcome parseCommandLine(const QStringList& arguments, const QString& executableDir);

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

// The usage text printed by "--help".
QString usageText();

// The whole start-up: returns the process exit code.
int runRoVivazava(int argc, char** argv);
