#include "diag/log.h"

#include <shlobj.h>
#include <stdarg.h>
#include <wchar.h>

#include <atomic>
#include <new>

#include "base/boundary.h"
#include "base/critical_section.h"
#include "base/unique_resource.h"

namespace {

constexpr DWORD kLockSpinCount = 4000;
constexpr size_t kDriveRootLength = 3;  // "C:\": a folder that needs no creating
constexpr unsigned char kByteOrderMark[] = {0xFF, 0xFE};
constexpr wchar_t kBlankLines[] = L"\r\n\r\n";
constexpr wchar_t kSeparatorText[] = L"------------------------------------------";
constexpr wchar_t kLineFormat[] = L"%hu/%02hu/%02hu %02hu:%02hu:%02hu.%03hu | %s\r\n";
constexpr wchar_t kLogFolder[] = L"\\Kestrava\\Backup\\MailBackup\\";
constexpr wchar_t kLogFileName[] = L"TallowmereAddin.log";

static_assert(sizeof(kSeparatorText) / sizeof(wchar_t) - 1 == 42);

void WINAPI ReadLocalTime(SYSTEMTIME* now) { ::GetLocalTime(now); }

struct LogState {
    // Null while logging is off. Set once, after the lock is initialised and the mark
    // written, and read without the lock; never closed (the system closes it at exit).
    std::atomic<HANDLE> file{nullptr};
    base::CriticalSection lock;  // every write to the file, spin count 4000
    std::atomic<LogClock> clock{&ReadLocalTime};
};

// Never destroyed, so that lines written from other objects' destructors at exit
// still find the lock and the file.
union ProcessLog {
    constexpr ProcessLog() : state() {}
    ~ProcessLog() {}
    LogState state;
};
constinit ProcessLog g_processLog;

LogState& Log() noexcept { return g_processLog.state; }

[[nodiscard]] HANDLE LogFileHandle() noexcept { return Log().file.load(std::memory_order_acquire); }

// Seeks to the end first: another process may have appended since our last write.
void AppendToFile(HANDLE file, const void* buffer, DWORD byteCount) noexcept {
    ::SetFilePointer(file, 0, nullptr, FILE_END);
    DWORD written = 0;
    ::WriteFile(file, buffer, byteCount, &written, nullptr);  // a failed write loses the line
}

// Creates every missing level of the folder that holds `path`; a drive root is left
// alone. Failures show up when the file is opened.
void CreateFolderOf(const wchar_t* path) noexcept {
    static_cast<void>(base::Completes([&] {
        std::wstring folder(path);
        const size_t lastBackslash = folder.rfind(L'\\');
        if (lastBackslash != std::wstring::npos) folder.resize(lastBackslash);
        if (folder.size() > kDriveRootLength) ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    }));
}

// Formats with msvcrt's wide printf: C++'s vswprintf here is mingw's C99 one, which
// takes "%s" as a narrow string. The length is measured first, so nothing is cut.
[[nodiscard]] bool FormatV(std::wstring* text, const wchar_t* format, va_list args) noexcept {
    va_list measureArgs;
    va_copy(measureArgs, args);
    const int length = _vscwprintf(format, measureArgs);
    va_end(measureArgs);
    if (length < 0) return false;
    if (!base::Completes([&] { text->resize(static_cast<size_t>(length)); })) {
        return false;
    }
    // Writes the terminator into the string's own terminator slot.
    return _vsnwprintf(text->data(), text->size() + 1, format, args) == length;
}

[[nodiscard]] bool Format(std::wstring* text, const wchar_t* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    const bool formatted = FormatV(text, format, args);
    va_end(args);
    return formatted;
}

}  // namespace

std::wstring_view TrimTrailingBackslashes(std::wstring_view path) noexcept {
    const size_t lastKept = path.find_last_not_of(L'\\');
    return path.substr(0, lastKept == std::wstring_view::npos ? 0 : lastKept + 1);
}

std::wstring GetSpecialFolder(int csidl) noexcept {
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, folder)))
        return {};
    return base::ReturnOr([&] { return std::wstring(TrimTrailingBackslashes(folder)); }, {});
}

std::wstring DefaultLogPath() noexcept {
    return base::ReturnOr(
        [&] {
            const std::wstring folder = GetSpecialFolder(CSIDL_APPDATA) + kLogFolder;
            ::CreateDirectoryW(folder.c_str(), nullptr);  // the last level only; see OpenLogFile
            return folder + kLogFileName;
        },
        {});
}

void OpenLogFile(const wchar_t* path) noexcept {
    LogState& log = Log();
    if (path == nullptr || LogFileHandle() != nullptr) return;
    if (!log.lock.Initialize(kLockSpinCount)) return;
    CreateFolderOf(path);

    ::SetLastError(0);
    base::UniqueFile file(::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        log.lock.Delete();
        return;
    }
    const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
    // The mark goes in before the handle is published, so no line can precede it.
    if (!existed) AppendToFile(file.get(), kByteOrderMark, sizeof(kByteOrderMark));
    log.file.store(file.release(), std::memory_order_release);
}

void WriteLogHeader() noexcept {
    if (LogFileHandle() == nullptr) return;
    WriteLogBytes(kBlankLines, sizeof(kBlankLines) - sizeof(wchar_t));
    WriteLogLine(kSeparatorText);
    WriteLogLine(::GetCommandLineW());
}

void LogMessage(const wchar_t* format, ...) noexcept {
    if (LogFileHandle() == nullptr || format == nullptr) return;
    va_list args;
    va_start(args, format);
    std::wstring text;
    const bool formatted = FormatV(&text, format, args);
    va_end(args);
    if (formatted) WriteLogLine(text.c_str());
}

void WriteLogLine(const wchar_t* text) noexcept {
    if (LogFileHandle() == nullptr || text == nullptr) return;
    SYSTEMTIME now{};
    Log().clock.load(std::memory_order_relaxed)(&now);
    std::wstring line;
    if (!Format(&line, kLineFormat, now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                now.wMilliseconds, text))
        return;
    if (line.size() > MAXDWORD / sizeof(wchar_t)) return;  // beyond one WriteFile
    WriteLogBytes(line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)));
}

void WriteLogBytes(const void* buffer, DWORD byteCount) noexcept {
    const HANDLE file = LogFileHandle();
    if (file == nullptr || buffer == nullptr || byteCount == 0) return;
    const DWORD callerError = ::GetLastError();
    {
        base::ScopedLock hold(Log().lock);
        AppendToFile(file, buffer, byteCount);
    }
    ::SetLastError(callerError);
}

void SetLogClockForTesting(LogClock clock) noexcept {
    Log().clock.store(clock != nullptr ? clock : &ReadLocalTime, std::memory_order_relaxed);
}
