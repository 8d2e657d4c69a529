#include "tests/support/log_sequence.h"

#include <algorithm>
#include <cstdint>

#include "tests/support/log_reader.h"

namespace testsupport {
namespace {

// "[Processing message 1] - 312." and "[Processing message finish] - 312." name the
// worker's thread: any thread will do.
std::wstring WithoutThreadId(std::wstring text) {
    const size_t dash = text.rfind(L"] - ");
    if (text.starts_with(L"[Processing message ") && dash != std::wstring::npos && text.ends_with(L"."))
        text.replace(dash + 4, text.size() - dash - 5, L"#");
    return text;
}

}  // namespace

LogTail::LogTail(std::wstring path) : path_(std::move(path)), taken_(ReadLogTexts(path_).size()) {}

std::vector<std::wstring> LogTail::Take(size_t requests) {
    // Where the take ends: after the requests-th finish line, or at the end.
    const auto end = [&](const std::vector<std::wstring>& texts) {
        size_t finished = 0;
        for (size_t i = taken_; i < texts.size() && requests > 0; ++i)
            if (texts[i].starts_with(L"[Processing message finish]") && ++finished == requests) return i + 1;
        return requests == 0 ? texts.size() : SIZE_MAX;
    };
    const std::vector<std::wstring> texts =
        WaitForLog(path_, [&](const std::vector<std::wstring>& t) { return end(t) != SIZE_MAX; });
    const size_t stop = std::min(end(texts), texts.size());
    std::vector<std::wstring> taken;
    for (size_t i = std::min(taken_, stop); i < stop; ++i) taken.push_back(WithoutThreadId(texts[i]));
    taken_ = stop;
    return taken;
}

std::vector<std::wstring> Dispatched(int code, std::vector<std::wstring> lines) {
    lines.insert(lines.begin(), L"[Processing message " + std::to_wstring(code) + L"] - #.");
    lines.push_back(L"[Processing message finish] - #.");
    return lines;
}

testing::AssertionResult SameLines(const std::vector<std::wstring>& expected,
                                   const std::vector<std::wstring>& actual) {
    const auto same = [](const std::wstring& want, const std::wstring& got) {
        return want.ends_with(L"*") ? got.starts_with(want.substr(0, want.size() - 1)) : got == want;
    };
    if (std::equal(expected.begin(), expected.end(), actual.begin(), actual.end(), same))
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "log lines\n  expected " << testing::PrintToString(expected)
                                       << "\n  written  " << testing::PrintToString(actual);
}

}  // namespace testsupport
