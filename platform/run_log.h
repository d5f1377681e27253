// The run log: one new UTF-8 file per run, in the user's temporary folder
// or, when the launcher runs elevated, next to its working folder below the
// Windows folder (SystemTemp where the log can be made there, else Temp),
// named after the executable with the date and time of the run
// ("InstallerLauncher_20261209_101500.log"; a second run in the same second
// adds "_2", "_3", ...).
//
// It is what is left to read when a run goes wrong on a customer's machine:
// the command line, the platform, each step with its result, each child with
// its full path, parameters and exit code, every diagnostic line and the exit
// code. Writing it never changes what the launcher does: a log that cannot be
// made or written is simply missing or short. Nothing here allocates memory,
// so even running out of it can be logged.
#pragma once

namespace platform {

// Makes the run's log file; a second call, or a failure, changes nothing.
// Whether the run is elevated is asked through the seam's ADVAPI32 entries,
// so it runs after LoadSystemLibraries.
void OpenRunLog();

// Keeps the narrow lines given (LogText, the diagnostic lines) until
// OpenRunLog, which writes them first: the lines of the start-up steps that
// run before the log can be placed. At most 256 bytes of them.
void KeepLinesUntilLogOpens();

// Appends one line: the pieces given, one after another, then a line break
// (CR LF, as Windows' own text files have). Characters below 0x20 in the
// pieces are written as "\x" and two hex digits (CR as "\x0D"), so that
// no text given to the log makes a line of its own.
// Null pieces are skipped. Without a log file nothing happens.
void LogLine(const wchar_t* first, const wchar_t* second = nullptr, const wchar_t* third = nullptr,
             const wchar_t* fourth = nullptr);

// Closes the run's log file; later lines go nowhere until it is opened again.
void CloseRunLog();

// Appends "exit code: <code>", the last line of a run.
void LogExitCode(int code);

// Appends one line of `length` bytes of narrow (ASCII) text.
void LogText(const char* text, int length);

// `value` as signed decimal text into `out` (room for 12 code units and the
// NUL); returns `out`.
const wchar_t* DecimalText(long value, wchar_t* out);

}  // namespace platform
