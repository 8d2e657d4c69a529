// The add-in's diagnostic log: one UTF-16LE text file per user, only ever appended
// to, one time-stamped line per LogMessage call. Opened once when Outlook connects the
// add-in and never closed by the program; until then every logging call does nothing.
//
// Threads: LogMessage, WriteLogLine and WriteLogBytes may be called from any thread at
// any time, also before the log is open and from static constructors and destructors;
// each line reaches the file whole with one WriteFile. OpenLogFile and WriteLogHeader
// are called by the add-in's connection on one thread at a time.
// None of these calls reports a failure; LogMessage, WriteLogLine and WriteLogBytes
// leave the caller's GetLastError() as they found it.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// The folder of a CSIDL_ value (created if missing), with every trailing backslash
// removed; empty when the system cannot give it.
[[nodiscard]] std::wstring GetSpecialFolder(int csidl) noexcept;

// `path` without the run of backslashes at its end ("C:\a\\" -> "C:\a").
[[nodiscard]] std::wstring_view TrimTrailingBackslashes(std::wstring_view path) noexcept;

// The log's full file name in the user's roaming application data:
// "<AppData>\Kestrava\Backup\MailBackup\TallowmereAddin.log". Creates the last folder
// level if it is missing; OpenLogFile creates any others. Empty when out of memory.
[[nodiscard]] std::wstring DefaultLogPath() noexcept;

// Opens (or creates, with the FF FE mark) the log file for appending and turns logging
// on. Does nothing when `path` is null or the log is already open; when the file
// cannot be opened, logging stays off and a later call tries again.
void OpenLogFile(const wchar_t* path) noexcept;

// Writes the separator block of one connection: CR LF CR LF, a stamped line of 42
// hyphens and a stamped line with this process's command line.
void WriteLogHeader() noexcept;

// The one logging call: formats with the Microsoft runtime's wide printf rules ("%s" is
// a wide string, "%hs" a narrow one) without any length limit and writes the text as
// one stamped line. Returns at once, formatting nothing, while the log is not open.
void LogMessage(const wchar_t* format, ...) noexcept;

// Writes "yyyy/mm/dd hh:mm:ss.mmm | <text>\r\n" with the local time; the text goes in
// unchanged, line breaks included.
void WriteLogLine(const wchar_t* text) noexcept;

// Appends the bytes at the end of the file with one WriteFile under the write lock;
// nothing when the log is off, `buffer` is null or `byteCount` is 0.
void WriteLogBytes(const void* buffer, DWORD byteCount) noexcept;

// Where time stamps come from; GetLocalTime unless a test fixes the clock.
using LogClock = void(WINAPI*)(SYSTEMTIME* now);
// For tests only: stamps lines with `clock` from now on; null restores GetLocalTime.
void SetLogClockForTesting(LogClock clock) noexcept;
