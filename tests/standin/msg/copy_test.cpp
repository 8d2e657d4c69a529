// CopyTo from a message file into the 8-bit message file the add-in writes.
#include <gtest/gtest.h>

#include "tests/standin/msg/msg_test_util.h"

namespace {

using msgtest::MessageFile;
using msgtest::TempMessagePath;

// The add-in makes its message file with flags 0: every Unicode string of the
// source lands as 8-bit text in the ANSI code page, "?" where it has no character.
TEST(CopyToAnEightBitFile, StoresEveryStringConvertedToTheCodePage) {
    TempMessagePath sourcePath(L"copy_source");
    TempMessagePath copyPath(L"copy_target");
    ASSERT_EQ(msgtest::WriteRichFile(sourcePath.path, true), S_OK);
    {
        MessageFile from;
        ASSERT_EQ(msgtest::OpenMessageFile(sourcePath.path, from), S_OK);
        MessageFile to;
        ASSERT_EQ(msgtest::CreateMessageFile(copyPath.path, to, 0), S_OK);
        LPSPropProblemArray problems = reinterpret_cast<LPSPropProblemArray>(0xdeadbeef);
        ASSERT_EQ(from.message->CopyTo(0, nullptr, nullptr, 0, nullptr, &IID_IMessage, to.message.get(), 0,
                                       &problems),
                  S_OK);
        EXPECT_EQ(problems, nullptr);
        ASSERT_EQ(to.Save(), S_OK);
    }
    const std::map<std::string, std::string> source = msgtest::DumpFile(sourcePath.path);
    const std::map<std::string, std::string> copy = msgtest::DumpFile(copyPath.path);
    EXPECT_GT(source.size(), 40u) << "a rich message has many streams";
    for (const auto& [name, bytes] : source) {
        if (name.size() < 4 || name.compare(name.size() - 4, 4, "001F") != 0) {
            EXPECT_TRUE(copy.count(name) || name.find("__properties") == std::string::npos)
                << "missing: " << name;
            continue;
        }
        const std::wstring wide(reinterpret_cast<const wchar_t*>(bytes.data()),
                                bytes.size() / sizeof(wchar_t));
        std::string narrow(wide.size() * 2, '\0');
        narrow.resize(WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                                          narrow.data(), static_cast<int>(narrow.size()), nullptr, nullptr));
        const std::string narrowName = name.substr(0, name.size() - 4) + "001E";
        EXPECT_TRUE(!copy.count(name) && copy.count(narrowName) && copy.at(narrowName) == narrow) << name;
    }
    EXPECT_EQ(copy.at("/__substg1.0_0037001E"), "Quarterly report \xE9t\xE9");
}

}  // namespace
