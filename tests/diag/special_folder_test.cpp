// Special folders as the log's location is built from them.
#include <gtest/gtest.h>

#include "diag/log.h"

namespace {

struct TrimCase {
    const wchar_t* path;
    const wchar_t* expected;
};
const TrimCase kTrimCases[] = {
    {L"C:\\users\\u\\AppData\\Roaming\\\\\\", L"C:\\users\\u\\AppData\\Roaming"},
    {L"C:\\a\\\\b", L"C:\\a\\\\b"},  // backslashes inside stay
    {L"C:\\", L"C:"},
    {L"\\\\\\", L""},
    {L"", L""},
};

TEST(SpecialFolder, TrailingBackslashesAreAllRemoved) {
    for (size_t i = 0; i < std::size(kTrimCases); ++i)
        EXPECT_EQ(TrimTrailingBackslashes(kTrimCases[i].path), kTrimCases[i].expected) << "case " << i;
}

}  // namespace
