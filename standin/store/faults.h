// Fault switches: each makes one call fail on purpose, so tests reach the failure
// paths of MAPI and object-model callers. Metadata files, the profile description
// and the generator spell them as the words of kFaultWords, the one list of them;
// a switch is a bit of its scope's set.
#pragma once

#include <windows.h>
#include <mapicode.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace standin::store {

// Where a switch is set: profile.ini `fault`, store.ini `fault`, folder.ini
// `fault`, or folder.ini `message-fault` (every item) and `message-fault.<n>`
// (item n).
enum class FaultScope { Profile, Store, Folder, Message };

namespace fault {
inline constexpr uint32_t kLogon = 1;                   // MAPILogonEx fails
inline constexpr uint32_t kStatusTableUnicodeOnly = 2;  // the status table refuses 8-bit columns
inline constexpr uint32_t kStatusTableNoSubsystem = 4;  // the status table has no subsystem row
inline constexpr uint32_t kAddStore = 8;                // NameSpace.AddStore fails
inline constexpr uint32_t kSessionUnknownEntryId = 16;  // IMAPISession::OpenEntry: MAPI_E_UNKNOWN_ENTRYID
inline constexpr uint32_t kSession = 32;                // the object model's Application.Session fails
inline constexpr uint32_t kOpenStore = 1;               // OpenMsgStore fails
inline constexpr uint32_t kNoIpmSubtree = 2;            // the store has no PR_IPM_SUBTREE_ENTRYID
inline constexpr uint32_t kNoServiceUid = 4;            // its stores table row has no PR_SERVICE_UID
inline constexpr uint32_t kDataMissing = 8;             // listed, but the generator leaves its data out
inline constexpr uint32_t kLongIpmSubtree = 16;  // its PR_IPM_SUBTREE_ENTRYID is 4096 bytes, too long to open
inline constexpr uint32_t kCreateFolder = 1;     // CreateFolder fails
inline constexpr uint32_t kEntryId = 2;          // the object model's EntryID of the folder fails
inline constexpr uint32_t kStoreId = 4;          // the object model's StoreID of the folder fails
inline constexpr uint32_t kCreateMessage = 8;    // CreateMessage fails
inline constexpr uint32_t kCopyTo = 1;           // IMessage::CopyTo fails
inline constexpr uint32_t kSaveChanges = 2;      // SaveChanges fails
inline constexpr uint32_t kString8 = 4;          // reads of text as PT_STRING8 give error values
inline constexpr uint32_t kErrorValue = 8;       // the Internet message ID and submit time give error values
inline constexpr uint32_t kItemEntryId = 16;     // the object model's EntryID of the item fails
inline constexpr uint32_t kMapiObject = 32;      // the object model's MAPIOBJECT of the item fails
}  // namespace fault

struct FaultWord {
    FaultScope scope;
    uint32_t bit;
    std::wstring_view word;
};
inline constexpr FaultWord kFaultWords[] = {
    {FaultScope::Profile, fault::kLogon, L"logon"},
    {FaultScope::Profile, fault::kStatusTableUnicodeOnly, L"status-table-unicode-only"},
    {FaultScope::Profile, fault::kStatusTableNoSubsystem, L"status-table-no-subsystem"},
    {FaultScope::Profile, fault::kAddStore, L"add-store"},
    {FaultScope::Profile, fault::kSessionUnknownEntryId, L"session-unknown-entry-id"},
    {FaultScope::Profile, fault::kSession, L"session"},
    {FaultScope::Store, fault::kOpenStore, L"open-store"},
    {FaultScope::Store, fault::kNoIpmSubtree, L"no-ipm-subtree"},
    {FaultScope::Store, fault::kNoServiceUid, L"no-service-uid"},
    {FaultScope::Store, fault::kDataMissing, L"data-missing"},
    {FaultScope::Store, fault::kLongIpmSubtree, L"long-ipm-subtree"},
    {FaultScope::Folder, fault::kCreateFolder, L"create-folder"},
    {FaultScope::Folder, fault::kEntryId, L"entry-id"},
    {FaultScope::Folder, fault::kStoreId, L"store-id"},
    {FaultScope::Folder, fault::kCreateMessage, L"create-message"},
    {FaultScope::Message, fault::kCopyTo, L"copy-to"},
    {FaultScope::Message, fault::kSaveChanges, L"save-changes"},
    {FaultScope::Message, fault::kString8, L"string8"},
    {FaultScope::Message, fault::kErrorValue, L"error-value"},
    {FaultScope::Message, fault::kItemEntryId, L"item-entry-id"},
    {FaultScope::Message, fault::kMapiObject, L"mapi-object"},
};

// What a failing switch makes its call return.
inline constexpr HRESULT kFaultResult = MAPI_E_CALL_FAILED;

// Parses a space-separated list of fault words of one scope; false (and `bad` the
// offending word) for a word that is not one of them.
[[nodiscard]] bool ParseFaults(FaultScope scope, std::wstring_view words, uint32_t& faults,
                               std::wstring& bad);
[[nodiscard]] std::wstring FaultWords(FaultScope scope, uint32_t faults);

}  // namespace standin::store
