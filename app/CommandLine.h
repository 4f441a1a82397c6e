#pragma once

#include "app/ExitCodes.h"
#include "app/GlobalSelection.h"
#include "app/ScriptOptions.h"

#include <QList>
#include <QString>
#include <QStringList>

// The upgrader's command line: the arguments read into the global selection and the
// options for scripts, the consistency rules between them, and the usage text.

// One error entry the command line produces, with the line number it is logged under
// (source "RoVivazava", function "wWinMain").
struct CommandLineMessage {
  int line = 0;
  QString text;
  // The line for standard error when this entry refuses the command line, starting with
  // "orvane-upgrader: "; empty for entries that are not refusals.
  QString terminal;
};

enum class CommandLineResult {
  Interactive,  // no batch request: the windows open for the operator
  Batch,        // a consistent batch request: one upgrade runs without questions
  Refused,      // a bad value, inconsistent options or a mistyped option: the program ends
  Check,        // --check with -IP and files: read the device and compare, write nothing
  FileCheck,    // --check with files and no -IP: print the files' identification blocks
  Verify,       // --verify with -IP and -B and/or -B2 with -I2CA: does the device run them?
  History,      // --history (with --since and --json only): the past runs
  Fleet,        // --fleet TARGETS: many devices, in parallel (with --check: the plan only)
};

struct CommandLineOutcome {
  GlobalSelection selection;
  ScriptOptions script;
  int errorOutputs = 1;    // LogToFile; "-DebugMsg" adds the message box
  int generalOutputs = 0;  // "-NoLogFile" removes LogToFile
  QList<CommandLineMessage> messages;  // error entries, in the order they were found
  // Lines for standard error about arguments that were ignored (unknown ones), in order.
  QStringList warnings;
  CommandLineResult result = CommandLineResult::Interactive;
};

// What every line the program writes to standard error about its command line starts with.
inline constexpr char kProgramPrefix[] = "orvane-upgrader: ";

// Line number of the "-IP" refusal in the error log; operators' scripts look for it.
inline constexpr int kInvalidIpLogLine = 107;
// Exit code of a command line that was refused.
inline constexpr int kExitRefusedCommandLine = kExitRefused;

// Reads the arguments (without the program name) into a selection and script options,
// starting from the initial values. A relative file value is looked for in
// `executableDir` first, then in `currentDir`; an absolute one is used as it is. Nothing
// is logged or printed here: the caller writes `messages` and `warnings`.
CommandLineOutcome parseCommandLine(const QStringList& arguments, const QString& executableDir,
                                    const QString& currentDir);

// The lines for standard error, in the order they are printed: the warnings, then the
// reasons of the refusal.
QStringList terminalLines(const CommandLineOutcome& outcome);

// The usage text printed by "--help", "-h" and "-?".
QString usageText();
