#pragma once

// The process exit codes: one per outcome, the same for every mode. Scripts rely on them.
inline constexpr int kExitDone = 0;           // done, or nothing to do
inline constexpr int kExitFailed = 1;         // the upgrade failed (any failure not named below)
inline constexpr int kExitRefused = 2;        // the command line was refused; no display for the window
inline constexpr int kExitUnreachable = 3;    // no echo, no connection before anything was written
inline constexpr int kExitIncompatible = 4;   // type, minimum firmware, hardware bounds, downgrade refused
inline constexpr int kExitFileRefused = 5;    // a named file was refused
inline constexpr int kExitUnconfirmed = 6;    // activated but the new version not confirmed; --verify mismatch
inline constexpr int kExitInterrupted = 130;   // a fleet run stopped by Ctrl-C before every device was done
