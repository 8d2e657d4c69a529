// The store on disk through its C++ API: writers in several threads and processes.
#include <gtest/gtest.h>

#include <mapicode.h>

#include <atomic>
#include <thread>

#include "standin/store/files.h"
#include "standin/store/profile.h"
#include "tests/standin/store/mapi_test_util.h"
#include "tests/support/child_process.h"

namespace {

using namespace standin::store;

using storetest::ReadText;
using storetest::TempFolder;

// Writers in another process and in threads here meet on one folder, while one
// item is rewritten over and over as SaveChanges rewrites it: every item gets its
// own number and no reader ever meets a half-written file.
TEST_CHILD_ROLE(add_items) {
    std::shared_ptr<Profile> profile;
    if (FAILED(Profile::Open(args.at(0), profile))) return 2;
    Store store;
    if (FAILED(profile->GetDefaultStore(store))) return 3;
    const std::string content(4096, 'c');
    for (int i = 0; i < 40; ++i) {
        Item item;
        if (FAILED(store.RootFolder().AddItemFile(content.data(), content.size(), item))) return 4;
    }
    return 0;
}

TEST(Profile, ConcurrentWritersAcrossThreadsAndProcesses) {
    const TempFolder temp;
    std::shared_ptr<Profile> profile;
    Store mailbox;
    ASSERT_EQ(S_OK, Profile::Create(temp.Sub(L"profile"), L"Test profile", profile));
    ASSERT_EQ(S_OK, profile->AddStore(L"Mailbox", mailbox));
    testsupport::ChildProcess child(L"add_items", {profile->path()});
    ASSERT_TRUE(child.running());
    const Folder root = mailbox.RootFolder();
    Item rewritten;
    const std::vector<BYTE> first(3000, 'r'), second(5000, 'R');
    ASSERT_EQ(S_OK, root.AddItemFile(first.data(), first.size(), rewritten));
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    threads.emplace_back([&] {
        for (int i = 0; i < 40; ++i) {
            const std::vector<BYTE>& content = i % 2 ? first : second;
            if (FAILED(WriteFileAtomically(rewritten.path(), content.data(), content.size(), true)))
                ++failures;
        }
    });
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            const std::string content(1000 + t, static_cast<char>('a' + t));
            for (int i = 0; i < 40; ++i) {
                Item item;
                std::vector<BYTE> seen;  // read as the store reads, sharing the file with its renames
                if (FAILED(ReadFileBytes(rewritten.path(), seen)) || (seen != first && seen != second))
                    ++failures;
                if (FAILED(root.AddItemFile(content.data(), content.size(), item))) ++failures;
                Folder created;  // the same folder name from every thread: one folder
                if (FAILED(root.CreateSubfolder(L"Shared", ItemType::Mail, Folder::IfExists::Open, created)))
                    ++failures;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0u, child.Wait(60000));
    EXPECT_EQ(0, failures.load());
    std::vector<Item> items;
    ASSERT_EQ(S_OK, root.GetItems(items));
    ASSERT_EQ(161u, items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) {
            EXPECT_LT(items[i - 1].number(), items[i].number()) << i;  // each its own number
        }
        const std::string text = ReadText(items[i].path());
        ASSERT_FALSE(text.empty()) << i;
        EXPECT_EQ(std::string(text.size(), text[0]), text) << i;  // whole, one writer's
    }
    std::vector<Folder> subfolders;
    ASSERT_EQ(S_OK, root.GetSubfolders(subfolders));
    EXPECT_EQ(1u, subfolders.size());
}

}  // namespace
