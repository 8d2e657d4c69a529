// The lines a piece of work writes to the add-in's log, compared whole: a missing,
// extra or doubled line fails, where looking for the expected lines alone passes.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testsupport {

// Reads a log on from where it ended when the tail was made.
class LogTail {
public:
    explicit LogTail(std::wstring path);

    // The texts written since the last take, through the `requests`-th line that ends
    // a dispatched request (waiting for it; 0 takes what is there now), with the thread
    // ID of a dispatch line written as "#". The lines after it are left for the next take.
    [[nodiscard]] std::vector<std::wstring> Take(size_t requests = 1);

private:
    std::wstring path_;
    size_t taken_;
};

// A dispatched request's lines: `lines` between its two dispatch lines, thread IDs as "#".
[[nodiscard]] std::vector<std::wstring> Dispatched(int code, std::vector<std::wstring> lines);

// Whether `actual` is `expected`, line for line. An expected line that ends in "*"
// stands for any line that begins with the text before it: a system error text,
// whose wording differs between Windows and Wine.
[[nodiscard]] testing::AssertionResult SameLines(const std::vector<std::wstring>& expected,
                                                 const std::vector<std::wstring>& actual);

}  // namespace testsupport
