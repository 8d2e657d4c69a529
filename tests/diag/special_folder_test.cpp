// Special folders as the log's location is built from them.
#include <gtest/gtest.h>
#include <shlobj.h>

#include "diag/log.h"

namespace {

struct TrimCase {
    const wchar_t* path;
    const wchar_t* expected;
};
const TrimCase kTrimCases[] = {
    {L"C:\\users\\u\\AppData\\Roaming\\\\\\", L"C:\\users\\u\\AppData\\Roaming"},
    {L"C:\\users\\u\\AppData\\Roaming\\", L"C:\\users\\u\\AppData\\Roaming"},
    {L"C:\\users\\u\\AppData\\Roaming", L"C:\\users\\u\\AppData\\Roaming"},
    {L"C:\\a\\\\b", L"C:\\a\\\\b"},  // backslashes inside stay
    {L"C:\\", L"C:"},
    {L"\\\\\\", L""},
    {L"", L""},
};

TEST(SpecialFolder, TrailingBackslashesAreAllRemoved) {
    for (size_t i = 0; i < std::size(kTrimCases); ++i)
        EXPECT_EQ(TrimTrailingBackslashes(kTrimCases[i].path), kTrimCases[i].expected) << "case " << i;
}

TEST(SpecialFolder, GivesTheSystemsFolderOrNothing) {
    wchar_t system[MAX_PATH] = L"sentinel";
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, system), S_OK);
    const std::wstring appData = GetSpecialFolder(CSIDL_APPDATA);
    EXPECT_EQ(appData, TrimTrailingBackslashes(system));
    EXPECT_FALSE(appData.empty());

    const int kNoSuchFolder = 0x7E;
    EXPECT_EQ(GetSpecialFolder(kNoSuchFolder), L"");
}

}  // namespace
