// The profile generator: descriptions it refuses, and what it writes, read back
// through the store API.
#include <gtest/gtest.h>

#include <mapicode.h>

#include <filesystem>

#include "standin/store/files.h"
#include "standin/store/profile.h"
#include "standin/store/profilegen/description.h"
#include "standin/store/profilegen/generator.h"
#include "tests/standin/store/mapi_test_util.h"

namespace {

using namespace standin;
using namespace standin::store;

TEST(Generator, WritesWhatTheDescriptionSays) {
    constexpr char text[] =
        "profile \"Generated\"\n"
        "store \"S\" default\n"
        "  folder \"Group {n}\" count=3\n"
        "    folder \"Inner\" type=contacts fault=create-folder message-fault=copy-to\n";
    profilegen::ProfilePlan plan;
    std::wstring error;
    ASSERT_EQ(S_OK, profilegen::ParseDescription(text, plan, error));
    const storetest::TempFolder temp;
    const std::wstring folder = temp.Sub(L"generated");
    ASSERT_EQ(S_OK, profilegen::GenerateProfile(plan, folder, error))
        << std::filesystem::path(error).string();

    std::shared_ptr<Profile> profile;
    ASSERT_EQ(S_OK, Profile::Open(folder, profile));
    Store store;
    ASSERT_EQ(S_OK, profile->GetDefaultStore(store));
    std::vector<Folder> top;
    ASSERT_EQ(S_OK, store.RootFolder().GetSubfolders(top));
    EXPECT_EQ(3u, top.size());
    Folder group, inner;
    ASSERT_EQ(S_OK, store.RootFolder().FindSubfolder(L"Group 3", group));
    ASSERT_EQ(S_OK, group.FindSubfolder(L"Inner", inner));
    FolderInfo info;
    ASSERT_EQ(S_OK, inner.GetInfo(info));
    EXPECT_EQ(ItemType::Contacts, info.type);
    EXPECT_EQ(fault::kCreateFolder, info.faults);
    EXPECT_EQ(fault::kCopyTo, info.messageFaults);

    // Two folders of one name (ignoring case) under one parent, as the store refuses.
    ASSERT_EQ(S_OK, profilegen::ParseDescription("profile \"P\"\nstore \"S\"\n  folder \"Same {n}\" count=2\n"
                                                 "  folder \"SAME 2\"\n",
                                                 plan, error));
    EXPECT_EQ(MAPI_E_COLLISION, profilegen::GenerateProfile(plan, folder + L"-same", error));
    EXPECT_EQ(L"creating the folder SAME 2 failed with 0x80040604", error);
}

}  // namespace
