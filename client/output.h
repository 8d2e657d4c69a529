// Text for a person: on a console through the console's wide calls, elsewhere (a
// pipe, a file) as UTF-8 lines ending in a bare line feed, with no control
// characters, so that logs and other programs read it as it is.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace client {

[[nodiscard]] std::string Utf8(const std::wstring& text);

class Output {
public:
    Output() noexcept;

    [[nodiscard]] bool console() const noexcept { return console_; }
    // One line on standard output; an open status line is ended first.
    void Line(const std::wstring& text);
    // One line on standard error, prefixed with the program's name.
    void Error(const std::wstring& text);
    // On a console, rewrites the status line in place; elsewhere nothing.
    void Status(const std::wstring& text);

private:
    void EndStatus();

    HANDLE out_;
    HANDLE err_;
    bool console_;
    size_t statusLength_ = 0;
};

// The counts a run reports, named once for the progress line and the summary.
struct Tally {
    const wchar_t* name;
    size_t count = 0;
};
// "3 new, 1 failed".
[[nodiscard]] std::wstring Tallies(const Tally* tallies, size_t count);

// A run over folders, shown while it goes: on a console a status line rewritten in
// place (folders done of all, items, rate and time left); elsewhere one line per
// folder. Then the summary.
class Progress {
public:
    Progress(Output& output, const wchar_t* items) noexcept : output_(output), items_(items) {}

    void Begin(size_t folders);
    // One item handled.
    void Step();
    // A folder finished: `tallies` as they stand.
    void FolderDone(const std::wstring& folderPath, size_t items, const Tally* tallies, size_t count);
    void Summary(const Tally* tallies, size_t count);

private:
    void Draw();

    Output& output_;
    const wchar_t* items_;
    size_t folders_ = 0;
    size_t foldersDone_ = 0;
    size_t steps_ = 0;
    uint64_t started_ = 0;
    uint64_t drawn_ = 0;
};

}  // namespace client
