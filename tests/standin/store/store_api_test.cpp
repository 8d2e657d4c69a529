// The store on disk through its C++ API: metadata files, names, entry IDs, and
// profiles, stores, folders and items as the object model stand-in uses them.
#include <gtest/gtest.h>

#include <mapicode.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "standin/store/entry_id.h"
#include "standin/store/files.h"
#include "standin/store/metadata.h"
#include "standin/store/names.h"
#include "standin/store/profile.h"
#include "tests/support/child_process.h"

namespace {

using namespace standin::store;

// A fresh folder under the temporary folder, removed with everything in it.
class TempFolder {
public:
    TempFolder() {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        path_ = JoinPath(temp, testsupport::UniqueName(L"store"));
        std::filesystem::create_directories(path_);
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    [[nodiscard]] const std::wstring& path() const { return path_; }
    [[nodiscard]] std::wstring Sub(const std::wstring& name) const { return JoinPath(path_, name); }

private:
    std::wstring path_;
};

void WriteText(const std::wstring& path, const std::string& text) {
    std::ofstream(std::filesystem::path(path), std::ios::binary) << text;
}

std::string ReadText(const std::wstring& path) {
    std::vector<BYTE> bytes;
    EXPECT_EQ(S_OK, ReadFileBytes(path, bytes));
    return std::string(bytes.begin(), bytes.end());
}

// ---------------------------------------------------------------- metadata

TEST(Metadata, ValuesSurviveSaveAndLoad) {
    const std::wstring values[] = {L"plain", L"", L" leading and trailing ", L"\"quoted\"", L"line\nbreak\ttab",
                                   L"A\\B", L"Grüße 日本 😀", L"x = y # not a comment", L"\x01\x7f"};
    TempFolder folder;
    for (size_t i = 0; i < std::size(values); ++i) {
        Metadata written;
        written.AddComment(L"header");
        written.Set("name", values[i]);
        ASSERT_EQ(S_OK, written.Save(folder.Sub(L"m.ini"))) << i;
        Metadata read;
        ASSERT_EQ(S_OK, read.Load(folder.Sub(L"m.ini"))) << i;
        ASSERT_NE(nullptr, read.Find("name")) << i;
        EXPECT_EQ(values[i], *read.Find("name")) << "value " << i;
        EXPECT_EQ(written.Serialize(), read.Serialize()) << i;
    }
}

TEST(Metadata, BadLinesAreCorruptWithTheLineNamed) {
    const char* texts[] = {"key value\n", "= value\n", "ke y = value\n", "key = \"unclosed\n",
                           "key = \"bad \\q escape\"\n", "key = \"x\" trailing\n"};
    for (size_t i = 0; i < std::size(texts); ++i) {
        Metadata metadata;
        EXPECT_EQ(MAPI_E_CORRUPT_DATA, metadata.Parse(std::string("ok = 1\n") + texts[i])) << i;
        EXPECT_NE(std::wstring::npos, metadata.error().find(L"line 2")) << i;
    }
}

TEST(Metadata, NumbersAndRepeatedKeys) {
    Metadata metadata;
    ASSERT_EQ(S_OK, metadata.Parse("store = a\r\nstore = b\nid = 42\nbad = 4x\nhuge = 99999999999\n"));
    EXPECT_EQ((std::vector<std::wstring>{L"a", L"b"}), metadata.FindAll("store"));
    uint32_t value = 0xdeadbeef;
    EXPECT_EQ(S_OK, metadata.GetNumber("id", 0, value));
    EXPECT_EQ(42u, value);
    EXPECT_EQ(S_OK, metadata.GetNumber("missing", 7, value));
    EXPECT_EQ(7u, value);
    EXPECT_EQ(MAPI_E_CORRUPT_DATA, metadata.GetNumber("bad", 0, value));
    EXPECT_EQ(MAPI_E_CORRUPT_DATA, metadata.GetNumber("huge", 0, value));
    metadata.Set("store", L"c");
    EXPECT_EQ((std::vector<std::wstring>{L"c"}), metadata.FindAll("store"));
}

// ---------------------------------------------------------------- names

TEST(Names, PlainDirectoryNames) {
    const struct {
        const wchar_t* name;
        bool plain;
    } cases[] = {
        {L"Inbox", true},      {L"Grüße 日本", true}, {L"A\\B", false},    {L"Sales/Marketing", false},
        {L"Q: x", false},      {L"\"x\"", false},      {L"a*b", false},     {L"a?b", false},
        {L"<a>", false},       {L"a|b", false},        {L"", false},        {L"trailing.", false},
        {L"trailing ", false}, {L" leading", false},   {L"CON", false},     {L"com1.txt", false},
        {L"folder.ini", false}, {L"x.MSG", false},     {L"~temp", false},   {L"CONSOLE", true},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(cases[i].plain, IsPlainDirectoryName(cases[i].name)) << i;
    }
    EXPECT_EQ(L"A_B ~7", DirectoryNameFor(L"A\\B", 7, false));
    EXPECT_EQ(L"Inbox ~7", DirectoryNameFor(L"Inbox", 7, true));
}

TEST(Names, FaultWordsRoundTrip) {
    uint32_t faults = 0;
    std::wstring bad;
    ASSERT_TRUE(ParseFaults(FaultScope::Message, L"save-changes  copy-to", faults, bad));
    EXPECT_EQ(fault::kCopyTo | fault::kSaveChanges, faults);
    EXPECT_EQ(L"copy-to save-changes", FaultWords(FaultScope::Message, faults));
    EXPECT_FALSE(ParseFaults(FaultScope::Store, L"open-store copy-to", faults, bad));
    EXPECT_EQ(L"copy-to", bad);
}

// ---------------------------------------------------------------- entry IDs

TEST(EntryIds, EncodeDecode) {
    EntryId id;
    id.kind = EntryKind::Message;
    id.storeUid = StableGuid(L"store");
    id.folderId = 0x01020304;
    id.itemNumber = 99;
    const std::vector<BYTE> bytes = EncodeEntryId(id);
    ASSERT_EQ(48u, bytes.size());
    EntryId decoded;
    ASSERT_EQ(S_OK, DecodeEntryId(bytes.data(), bytes.size(), decoded));
    EXPECT_EQ(EntryKind::Message, decoded.kind);
    EXPECT_TRUE(IsEqualGUID(id.storeUid, decoded.storeUid));
    EXPECT_EQ(id.folderId, decoded.folderId);
    EXPECT_EQ(id.itemNumber, decoded.itemNumber);

    std::vector<BYTE> foreign = bytes;
    foreign[4] ^= 1;
    EXPECT_EQ(MAPI_E_UNKNOWN_ENTRYID, DecodeEntryId(foreign.data(), foreign.size(), decoded));
    std::vector<BYTE> badKind = bytes;
    badKind[20] = 9;
    EXPECT_EQ(MAPI_E_INVALID_ENTRYID, DecodeEntryId(badKind.data(), badKind.size(), decoded));
    EXPECT_EQ(MAPI_E_INVALID_ENTRYID, DecodeEntryId(bytes.data(), bytes.size() - 1, decoded));
    EXPECT_EQ(MAPI_E_INVALID_ENTRYID, DecodeEntryId(nullptr, 0, decoded));
}

// ---------------------------------------------------------------- profiles

struct Fixture {
    TempFolder temp;
    std::shared_ptr<Profile> profile;
    Store mailbox;
    Store archive;

    Fixture() {
        EXPECT_EQ(S_OK, Profile::Create(temp.Sub(L"profile"), L"Test profile", profile));
        EXPECT_EQ(S_OK, profile->AddStore(L"Mailbox", mailbox));
        EXPECT_EQ(S_OK, profile->AddStore(L"Archive", archive));
    }
};

std::wstring NameOf(const Folder& folder) {
    std::wstring name;
    EXPECT_EQ(S_OK, folder.GetName(name));
    return name;
}

TEST(Profile, StoresInOrderWithTheFirstAsDefault) {
    Fixture f;
    std::vector<Store> stores;
    ASSERT_EQ(S_OK, f.profile->GetStores(stores));
    ASSERT_EQ(2u, stores.size());
    std::wstring name;
    EXPECT_EQ(S_OK, stores[0].GetDisplayName(name));
    EXPECT_EQ(L"Mailbox", name);
    bool isDefault = false;
    EXPECT_EQ(S_OK, stores[0].IsDefault(isDefault));
    EXPECT_TRUE(isDefault);
    EXPECT_EQ(S_OK, stores[1].IsDefault(isDefault));
    EXPECT_FALSE(isDefault);

    // AddStore appends: the new store is last, as the object model expects.
    Store added;
    ASSERT_EQ(S_OK, f.profile->AddStore(L"Restored 2", added));
    ASSERT_EQ(S_OK, f.profile->GetStores(stores));
    ASSERT_EQ(3u, stores.size());
    EXPECT_EQ(added.directory(), stores[2].directory());
    ASSERT_EQ(S_OK, added.RootFolder().Rename(L"Restored"));
    EXPECT_EQ(S_OK, stores[2].GetDisplayName(name));
    EXPECT_EQ(L"Restored", name);
}

TEST(Profile, FoldersWithAnyNameRoundTrip) {
    Fixture f;
    const std::wstring names[] = {L"Inbox", L"A\\B", L"Sales/Marketing", L"Q: \"What?\" <x> | *", L"CON",
                                  L"trailing.", L"Grüße 日本 😀", L"folder.ini"};
    const Folder root = f.mailbox.RootFolder();
    for (size_t i = 0; i < std::size(names); ++i) {
        Folder created;
        ASSERT_EQ(S_OK, root.CreateSubfolder(names[i], ItemType::Mail, Folder::IfExists::Collide, created)) << i;
        EXPECT_EQ(names[i], NameOf(created)) << i;
    }
    std::vector<Folder> subfolders;
    ASSERT_EQ(S_OK, root.GetSubfolders(subfolders));
    ASSERT_EQ(std::size(names), subfolders.size());
    for (const std::wstring& name : names) {
        Folder found;
        EXPECT_EQ(S_OK, root.FindSubfolder(name, found)) << std::filesystem::path(name).string();
    }
    // Subfolders come sorted by name, ignoring case.
    for (size_t i = 1; i < subfolders.size(); ++i) {
        EXPECT_EQ(CSTR_LESS_THAN, CompareStringOrdinal(NameOf(subfolders[i - 1]).c_str(), -1,
                                                       NameOf(subfolders[i]).c_str(), -1, TRUE))
            << i;
    }
}

TEST(Profile, CreateSubfolderExistingAndCollisions) {
    Fixture f;
    const Folder root = f.mailbox.RootFolder();
    Folder first, again, sibling;
    ASSERT_EQ(S_OK, root.CreateSubfolder(L"Projects", ItemType::Mail, Folder::IfExists::Collide, first));
    EXPECT_EQ(S_OK, root.CreateSubfolder(L"PROJECTS", ItemType::Mail, Folder::IfExists::Open, again));
    EXPECT_EQ(first.relativePath(), again.relativePath());
    EXPECT_EQ(MAPI_E_COLLISION, root.CreateSubfolder(L"projects", ItemType::Mail, Folder::IfExists::Collide, again));
    ASSERT_EQ(S_OK, root.CreateSubfolder(L"Other", ItemType::Calendar, Folder::IfExists::Collide, sibling));
    EXPECT_EQ(MAPI_E_COLLISION, sibling.Rename(L"projects"));
    FolderInfo info;
    ASSERT_EQ(S_OK, sibling.GetInfo(info));
    EXPECT_EQ(ItemType::Calendar, info.type);
    EXPECT_EQ(L"Other", info.name);
}

TEST(Profile, EntryIdsResolveAndStayStable) {
    std::vector<BYTE> folderId, storeId, parentId;
    {
        Fixture f;
        Folder inbox, nested;
        ASSERT_EQ(S_OK, f.archive.RootFolder().CreateSubfolder(L"Inbox", ItemType::Mail, Folder::IfExists::Collide, inbox));
        ASSERT_EQ(S_OK, inbox.CreateSubfolder(L"A/B", ItemType::Mail, Folder::IfExists::Collide, nested));
        ASSERT_EQ(S_OK, nested.GetEntryId(folderId));
        ASSERT_EQ(S_OK, f.archive.GetEntryId(storeId));
        ASSERT_EQ(S_OK, inbox.GetEntryId(parentId));

        Entry entry;
        ASSERT_EQ(S_OK, f.profile->Resolve(folderId.data(), folderId.size(), entry));
        EXPECT_EQ(EntryKind::Folder, entry.kind);
        EXPECT_EQ(nested.relativePath(), entry.folder.relativePath());
        ASSERT_EQ(S_OK, f.profile->Resolve(storeId.data(), storeId.size(), entry));
        EXPECT_EQ(EntryKind::Store, entry.kind);
        EXPECT_EQ(f.archive.directory(), entry.store.directory());

        // A folder moved on disk is still found by its ID.
        const std::wstring moved = JoinPath(f.archive.path(), L"Moved");
        ASSERT_TRUE(MoveFileW(nested.path().c_str(), moved.c_str()));
        ASSERT_EQ(S_OK, f.profile->Resolve(folderId.data(), folderId.size(), entry));
        EXPECT_EQ(L"Moved", entry.folder.relativePath());
        Folder parent;
        ASSERT_EQ(S_OK, entry.folder.GetParent(parent));
        EXPECT_TRUE(parent.IsRoot());

        // A copy of the profile folder is a profile object of its own, with no
        // cache: the same IDs resolve there from the files alone.
        const TempFolder elsewhere;
        std::filesystem::copy(f.profile->path(), elsewhere.Sub(L"copy"), std::filesystem::copy_options::recursive);
        std::shared_ptr<Profile> reopened;
        ASSERT_EQ(S_OK, Profile::Open(elsewhere.Sub(L"copy"), reopened));
        ASSERT_EQ(S_OK, reopened->Resolve(folderId.data(), folderId.size(), entry));
        std::vector<BYTE> again;
        ASSERT_EQ(S_OK, entry.folder.GetEntryId(again));
        EXPECT_EQ(folderId, again);
        EXPECT_EQ(L"A/B", NameOf(entry.folder));
    }
}

TEST(Profile, ItemsKeepNumbersAndMovedOrDeletedIdsResolveNoMore) {
    Fixture f;
    const Folder root = f.mailbox.RootFolder();
    Folder other;
    ASSERT_EQ(S_OK, root.CreateSubfolder(L"Other", ItemType::Mail, Folder::IfExists::Collide, other));
    const std::string content = "not a message file, but an item all the same";
    Item first, second, third;
    ASSERT_EQ(S_OK, root.AddItemFile(content.data(), content.size(), first));
    ASSERT_EQ(S_OK, root.AddItemFile(content.data(), content.size(), second));
    EXPECT_EQ(1u, first.number());
    EXPECT_EQ(2u, second.number());
    EXPECT_TRUE(IsFile(JoinPath(root.path(), L"00000002.msg")));

    std::vector<BYTE> secondId;
    ASSERT_EQ(S_OK, second.GetEntryId(secondId));
    ASSERT_EQ(S_OK, second.Delete());
    // A new item never takes a deleted item's number, so the old ID finds nothing.
    ASSERT_EQ(S_OK, root.AddItemFile(content.data(), content.size(), third));
    EXPECT_EQ(3u, third.number());
    Entry entry;
    EXPECT_EQ(MAPI_E_NOT_FOUND, f.profile->Resolve(secondId.data(), secondId.size(), entry));

    std::vector<BYTE> firstId, movedId;
    ASSERT_EQ(S_OK, first.GetEntryId(firstId));
    Item moved;
    ASSERT_EQ(S_OK, first.MoveTo(other, moved));
    ASSERT_EQ(S_OK, moved.GetEntryId(movedId));
    EXPECT_NE(firstId, movedId);
    EXPECT_EQ(MAPI_E_NOT_FOUND, f.profile->Resolve(firstId.data(), firstId.size(), entry));
    ASSERT_EQ(S_OK, f.profile->Resolve(movedId.data(), movedId.size(), entry));
    EXPECT_EQ(EntryKind::Message, entry.kind);
    EXPECT_EQ(content, ReadText(entry.item.path()));

    std::vector<Item> items;
    ASSERT_EQ(S_OK, root.GetItems(items));
    ASSERT_EQ(1u, items.size());
    EXPECT_EQ(3u, items[0].number());
}

TEST(Profile, SpecialFoldersAndFaultsInMetadata) {
    Fixture f;
    Folder inbox, found;
    ASSERT_EQ(S_OK, f.mailbox.RootFolder().CreateSubfolder(L"Inbox", ItemType::Mail, Folder::IfExists::Collide, inbox));
    EXPECT_EQ(MAPI_E_NOT_FOUND, f.mailbox.GetDefaultFolder(FolderRole::Inbox, found));
    ASSERT_EQ(S_OK, f.mailbox.SetDefaultFolder(FolderRole::Inbox, inbox));
    ASSERT_EQ(S_OK, f.mailbox.GetDefaultFolder(FolderRole::Inbox, found));
    EXPECT_EQ(inbox.relativePath(), found.relativePath());

    ASSERT_EQ(S_OK, inbox.SetFaults(fault::kCreateFolder, fault::kSaveChanges));
    ASSERT_EQ(S_OK, inbox.SetItemFaults(5, fault::kCopyTo));
    uint32_t faults = 0;
    ASSERT_EQ(S_OK, inbox.GetItemFaults(5, faults));
    EXPECT_EQ(fault::kCopyTo | fault::kSaveChanges, faults);
    ASSERT_EQ(S_OK, inbox.GetItemFaults(6, faults));
    EXPECT_EQ(fault::kSaveChanges, faults);
    const std::string text = ReadText(JoinPath(inbox.path(), L"folder.ini"));
    EXPECT_NE(std::string::npos, text.find("fault = create-folder")) << text;
    EXPECT_NE(std::string::npos, text.find("message-fault.5 = copy-to")) << text;

    ASSERT_EQ(S_OK, f.archive.SetFaults(fault::kOpenStore | fault::kNoIpmSubtree));
    StoreInfo info;
    ASSERT_EQ(S_OK, f.archive.GetInfo(info));
    EXPECT_EQ(fault::kOpenStore | fault::kNoIpmSubtree, info.faults);
    ASSERT_EQ(S_OK, f.profile->SetFaults(fault::kLogon));
    ASSERT_EQ(S_OK, f.profile->GetFaults(faults));
    EXPECT_EQ(fault::kLogon, faults);
}

TEST(Profile, BrokenMetadataFailsWhereItIsMetAndTheRestWorks) {
    Fixture f;
    const Folder root = f.mailbox.RootFolder();
    Folder broken, below, healthy;
    ASSERT_EQ(S_OK, root.CreateSubfolder(L"Broken", ItemType::Mail, Folder::IfExists::Collide, broken));
    ASSERT_EQ(S_OK, broken.CreateSubfolder(L"Below", ItemType::Mail, Folder::IfExists::Collide, below));
    ASSERT_EQ(S_OK, root.CreateSubfolder(L"Healthy", ItemType::Mail, Folder::IfExists::Collide, healthy));
    std::vector<BYTE> belowId;
    ASSERT_EQ(S_OK, below.GetEntryId(belowId));

    const struct {
        const char* text;  // null: the file is deleted
        HRESULT expected;
    } cases[] = {{nullptr, MAPI_E_NOT_FOUND}, {"id = x\n", MAPI_E_CORRUPT_DATA}, {"garbage\n", MAPI_E_CORRUPT_DATA},
                 {"id = 9\ntype = spaceship\n", MAPI_E_CORRUPT_DATA}, {"id = 9\nfault = explode\n", MAPI_E_CORRUPT_DATA}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        const std::wstring file = JoinPath(broken.path(), L"folder.ini");
        if (cases[i].text) {
            WriteText(file, cases[i].text);
        } else {
            DeleteFileW(file.c_str());
        }
        FolderInfo info;
        EXPECT_EQ(cases[i].expected, broken.GetInfo(info)) << i;
        EXPECT_EQ(L"Broken", info.name) << i;  // still listed by its directory
        std::vector<BYTE> id;
        EXPECT_EQ(cases[i].expected, broken.GetEntryId(id)) << i;
        EXPECT_EQ(L"Broken", NameOf(broken)) << i;
        std::vector<Folder> subfolders;
        EXPECT_EQ(S_OK, root.GetSubfolders(subfolders)) << i;
        EXPECT_EQ(2u, subfolders.size()) << i;
        Entry entry;
        EXPECT_EQ(S_OK, f.profile->Resolve(belowId.data(), belowId.size(), entry)) << i;  // found below it
        Folder created;
        EXPECT_EQ(cases[i].expected, broken.CreateSubfolder(L"New", ItemType::Mail, Folder::IfExists::Collide, created)) << i;
        EXPECT_EQ(S_OK, healthy.GetInfo(info)) << i;
    }

    WriteText(JoinPath(f.archive.path(), L"store.ini"), "uid = not hex\n");
    StoreInfo info;
    EXPECT_EQ(MAPI_E_CORRUPT_DATA, f.archive.GetInfo(info));
    std::vector<BYTE> archiveId;
    ASSERT_EQ(S_OK, f.archive.GetEntryId(archiveId));  // derived from its directory
    Entry entry;
    ASSERT_EQ(S_OK, f.profile->Resolve(archiveId.data(), archiveId.size(), entry));
    EXPECT_EQ(f.archive.directory(), entry.store.directory());
    EXPECT_EQ(S_OK, f.mailbox.GetInfo(info));

    WriteText(JoinPath(f.profile->path(), L"profile.ini"), "name\n");
    std::vector<Store> stores;
    EXPECT_EQ(MAPI_E_CORRUPT_DATA, f.profile->GetStores(stores));
    std::shared_ptr<Profile> reopened;
    EXPECT_EQ(MAPI_E_CORRUPT_DATA, Profile::Open(f.profile->path(), reopened));
    EXPECT_EQ(MAPI_E_NOT_FOUND, Profile::Open(f.temp.Sub(L"nowhere"), reopened));
}

TEST(Profile, CreateRefusesAFolderInUse) {
    Fixture f;
    std::shared_ptr<Profile> profile;
    EXPECT_EQ(MAPI_E_COLLISION, Profile::Create(f.profile->path(), L"again", profile));
}

// Writers in another process and in threads here meet on one folder: every item
// gets its own number and no file is ever half written.
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
    Fixture f;
    testsupport::ChildProcess child(L"add_items", {f.profile->path()});
    ASSERT_TRUE(child.running());
    const Folder root = f.mailbox.RootFolder();
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            const std::string content(1000 + t, static_cast<char>('a' + t));
            for (int i = 0; i < 40; ++i) {
                Item item;
                if (FAILED(root.AddItemFile(content.data(), content.size(), item))) ++failures;
                Folder created;  // the same folder name from every thread: one folder
                if (FAILED(root.CreateSubfolder(L"Shared", ItemType::Mail, Folder::IfExists::Open, created))) ++failures;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0u, child.Wait(60000));
    EXPECT_EQ(0, failures.load());
    std::vector<Item> items;
    ASSERT_EQ(S_OK, root.GetItems(items));
    ASSERT_EQ(160u, items.size());
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
