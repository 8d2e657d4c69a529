#include "client/output.h"

#include <string_view>

namespace client {
namespace {

bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) != 0;
}

// Control characters (a tab or line break inside a folder name) would break the
// line-per-record shape for whoever reads the output.
std::wstring Printable(std::wstring_view text) {
    std::wstring out(text);
    for (wchar_t& c : out) {
        if (c < L' ' || c == 0x7f) c = L'?';
    }
    return out;
}

void Write(HANDLE handle, bool console, const std::wstring& text) {
    DWORD written = 0;
    if (console) {
        WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const std::string bytes = Utf8(text);
    WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::wstring Duration(uint64_t ms) {
    const uint64_t seconds = ms / 1000;
    wchar_t text[32];
    _snwprintf(text, std::size(text), L"%llu:%02llu:%02llu", seconds / 3600, seconds / 60 % 60, seconds % 60);
    return text;
}

constexpr uint64_t kRedrawMs = 200;

}  // namespace

std::wstring Tallies(const Tally* tallies, size_t count) {
    std::wstring text;
    for (size_t i = 0; i < count; ++i)
        text += (i ? L", " : L"") + std::to_wstring(tallies[i].count) + L" " + tallies[i].name;
    return text;
}

std::string Utf8(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string bytes(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                        nullptr);
    return bytes;
}

Output::Output() noexcept
    : out_(GetStdHandle(STD_OUTPUT_HANDLE)),
      err_(GetStdHandle(STD_ERROR_HANDLE)),
      console_(IsConsole(out_)) {}

void Output::EndStatus() {
    if (statusLength_ == 0) return;
    Write(out_, true, L"\n");
    statusLength_ = 0;
}

void Output::Line(const std::wstring& text) {
    EndStatus();
    Write(out_, console_, Printable(text) + L"\n");
}

void Output::Error(const std::wstring& text) {
    EndStatus();
    Write(err_, IsConsole(err_), L"backup-client: " + Printable(text) + L"\n");
}

void Output::Status(const std::wstring& text) {
    if (!console_) return;
    std::wstring line = Printable(text);
    const size_t length = line.size();
    // Blanks over what a longer previous status left.
    if (length < statusLength_) line.append(statusLength_ - length, L' ');
    Write(out_, true, L"\r" + line);
    statusLength_ = length ? length : 1;
}

void Progress::Begin(size_t folders) {
    folders_ = folders;
    started_ = GetTickCount64();
    Draw();
}

void Progress::Step() {
    ++steps_;
    if (GetTickCount64() - drawn_ >= kRedrawMs) Draw();
}

void Progress::Draw() {
    drawn_ = GetTickCount64();
    const uint64_t elapsed = drawn_ - started_;
    wchar_t rate[32] = L"-";
    if (elapsed > 0) _snwprintf(rate, std::size(rate), L"%.1f/s", steps_ * 1000.0 / elapsed);
    std::wstring text = L"folders " + std::to_wstring(foldersDone_) + L"/" + std::to_wstring(folders_) +
                        L", " + std::to_wstring(steps_) + L" " + items_ + L", " + rate;
    if (foldersDone_ > 0 && foldersDone_ < folders_)
        text += L", about " + Duration(elapsed * (folders_ - foldersDone_) / foldersDone_) + L" left";
    output_.Status(text);
}

void Progress::FolderDone(const std::wstring& folderPath, size_t items, const Tally* tallies, size_t count) {
    ++foldersDone_;
    if (output_.console()) {
        Draw();
        return;
    }
    output_.Line(L"folder " + std::to_wstring(foldersDone_) + L"/" + std::to_wstring(folders_) + L" " +
                 folderPath + L": " + std::to_wstring(items) + L" " + items_ + L"; so far " +
                 Tallies(tallies, count));
}

void Progress::Summary(const Tally* tallies, size_t count) {
    Draw();
    output_.Line(L"done in " + Duration(GetTickCount64() - started_) + L": " + Tallies(tallies, count));
}

}  // namespace client
