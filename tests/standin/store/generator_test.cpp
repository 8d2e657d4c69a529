// The profile generator: descriptions it refuses, and what it writes, read back
// through the store API.
#include <gtest/gtest.h>

#include <mapicode.h>

#include <filesystem>

#include "standin/store/files.h"
#include "standin/store/profile.h"
#include "standin/store/profilegen/description.h"
#include "standin/store/profilegen/generator.h"
#include "tests/support/child_process.h"

namespace {

using namespace standin;
using namespace standin::store;

TEST(Description, BadLinesAreNamed) {
    const struct {
        const char* text;
        const wchar_t* error;
    } cases[] = {
        {"store \"S\"\n", L"line 1: the description starts with a profile line"},
        {"profile \"P\"\nfolder \"F\"\n", L"line 2: a folder or item outside a store"},
        {"profile \"P\"\nstore \"S\"\n  store \"T\"\n", L"line 3: a store inside a folder"},
        {"profile \"P\"\nstore \"S\"\n  folder \"F\" type=spaceship\n", L"line 3: unknown folder type \"spaceship\""},
        {"profile \"P\"\nstore \"S\"\n  folder \"F\" role=attic\n", L"line 3: unknown folder role \"attic\""},
        {"profile \"P\"\nstore \"S\" fault=copy-to\n", L"line 2: unknown fault \"copy-to\""},
        {"profile \"P\"\nstore \"S\"\n  mail subject=\"open\n", L"line 3: an unclosed quote"},
        {"profile \"P\"\nstore \"S\"\n  item subject=x\n", L"line 3: an item needs class="},
        {"profile \"P\"\nstore \"S\"\n  mail count=0\n", L"line 3: count is a number from 1 to 10000000"},
        {"profile \"P\"\nstore \"S\" uid=123\n", L"line 2: a UID is 32 hexadecimal digits"},
        {"profile \"P\"\nstore \"S\"\n  mail colour=red\n", L"line 3: unknown attribute colour"},
        {"profile \"P\"\nprofile \"Q\"\n", L"line 2: a second profile line"},
        {"# only a comment\n", L"no profile line"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        profilegen::ProfilePlan plan;
        std::wstring error;
        EXPECT_EQ(MAPI_E_CORRUPT_DATA, profilegen::ParseDescription(cases[i].text, plan, error)) << i;
        EXPECT_EQ(cases[i].error, error) << i;
    }
}

TEST(Description, NestingCountsAndFaults) {
    constexpr char text[] =
        "profile \"P\" fault=logon\n"
        "store \"S\" default fault=\"open-store no-ipm-subtree\"\n"
        "  folder \"Group {n}\" count=3   # comment\n"
        "    folder \"Inner\" type=notes message-fault=save-changes\n"
        "      mail subject=\"x {n}\" count=2 fault=copy-to ansi\n"
        "  folder \"Inbox\" role=inbox fault=create-folder\n"
        "store \"T\"\n";
    profilegen::ProfilePlan plan;
    std::wstring error;
    ASSERT_EQ(S_OK, profilegen::ParseDescription(text, plan, error)) << std::filesystem::path(error).string();
    EXPECT_EQ(fault::kLogon, plan.faults);
    ASSERT_EQ(2u, plan.stores.size());
    const profilegen::StorePlan& store = plan.stores[0];
    EXPECT_TRUE(store.isDefault);
    EXPECT_EQ(fault::kOpenStore | fault::kNoIpmSubtree, store.faults);
    ASSERT_EQ(2u, store.root.folders.size());
    EXPECT_EQ(3u, store.root.folders[0].count);
    ASSERT_EQ(1u, store.root.folders[0].folders.size());
    const profilegen::FolderPlan& inner = store.root.folders[0].folders[0];
    EXPECT_EQ(ItemType::Notes, inner.type);
    EXPECT_EQ(fault::kSaveChanges, inner.messageFaults);
    ASSERT_EQ(1u, inner.items.size());
    EXPECT_EQ(2u, inner.items[0].count);
    EXPECT_TRUE(inner.items[0].ansi);
    EXPECT_EQ(fault::kCreateFolder, store.root.folders[1].faults);
    EXPECT_EQ(std::vector<FolderRole>{FolderRole::Inbox}, store.root.folders[1].roles);
}

TEST(Generator, WritesWhatTheDescriptionSays) {
    constexpr char text[] =
        "profile \"Generated\" fault=status-table-no-subsystem\n"
        "store \"First\"\n"
        "store \"Second\" default fault=no-ipm-subtree\n"
        "  folder \"Group {n}\" count=3\n"
        "    folder \"A\\\\B\" type=contacts fault=create-folder message-fault=copy-to\n"
        "  folder \"Inbox\" role=inbox\n";
    profilegen::ProfilePlan plan;
    std::wstring error;
    ASSERT_EQ(S_OK, profilegen::ParseDescription(text, plan, error));
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = JoinPath(temp, testsupport::UniqueName(L"generated"));
    ASSERT_EQ(S_OK, profilegen::GenerateProfile(plan, folder, error)) << std::filesystem::path(error).string();

    std::shared_ptr<Profile> profile;
    ASSERT_EQ(S_OK, Profile::Open(folder, profile));
    uint32_t faults = 0;
    EXPECT_EQ(S_OK, profile->GetFaults(faults));
    EXPECT_EQ(fault::kStatusTableNoSubsystem, faults);
    Store second;
    ASSERT_EQ(S_OK, profile->GetDefaultStore(second));
    std::wstring name;
    EXPECT_EQ(S_OK, second.GetDisplayName(name));
    EXPECT_EQ(L"Second", name);
    StoreInfo info;
    ASSERT_EQ(S_OK, second.GetInfo(info));
    EXPECT_EQ(fault::kNoIpmSubtree, info.faults);
    EXPECT_TRUE(IsEqualGUID(StableGuid(L"Generated|Second"), info.uid));  // deterministic

    std::vector<Folder> top;
    ASSERT_EQ(S_OK, second.RootFolder().GetSubfolders(top));
    ASSERT_EQ(4u, top.size());
    Folder inbox, group2, inner;
    ASSERT_EQ(S_OK, second.GetDefaultFolder(FolderRole::Inbox, inbox));
    EXPECT_EQ(S_OK, inbox.GetName(name));
    EXPECT_EQ(L"Inbox", name);
    ASSERT_EQ(S_OK, second.RootFolder().FindSubfolder(L"Group 2", group2));
    ASSERT_EQ(S_OK, group2.FindSubfolder(L"A\\B", inner));
    FolderInfo innerInfo;
    ASSERT_EQ(S_OK, inner.GetInfo(innerInfo));
    EXPECT_EQ(ItemType::Contacts, innerInfo.type);
    EXPECT_EQ(fault::kCreateFolder, innerInfo.faults);
    EXPECT_EQ(fault::kCopyTo, innerInfo.messageFaults);

    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

}  // namespace
