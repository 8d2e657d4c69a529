// Outlook's MAPI library as the add-in finds and binds it, and the default profile's
// name from the registry.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <filesystem>
#include <string>

#include "base/unique_module.h"
#include "base/unique_resource.h"
#include "outlook/mapi_library.h"
#include "outlook/mapi_session.h"
#include "tests/support/child_process.h"
#include "tests/support/log_reader.h"

namespace {

// The first subfolder holding the file wins; plain files and subfolders without it are passed by.
TEST(MapiLibrary, FoundInASubfolderBoundByPlainOrDecoratedNames) {
    const std::wstring root = testsupport::TempPath(L"MapiSearch") + L"\\";
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((root + L"1031").c_str(), nullptr));
    ASSERT_TRUE(base::UniqueFile(
                    CreateFileW((root + L"1032").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr))
                    .valid());
    ASSERT_TRUE(CreateDirectoryW((root + L"1033").c_str(), nullptr));
    const std::wstring library = root + L"1033\\msmapi32.dll";
    ASSERT_TRUE(CopyFileW(testsupport::BesideThisProgram(L"msmapi32.dll").c_str(), library.c_str(), TRUE));

    outlook::MapiFunctions table{};
    outlook::FindMapiLibrary(table, root.c_str(), L"\\msmapi32.dll");
    ASSERT_NE(nullptr, table.hModule);
    EXPECT_EQ(GetModuleHandleW(library.c_str()), table.hModule);
    EXPECT_EQ(S_OK, outlook::UnloadMSMAPI(table));
    EXPECT_EQ(nullptr, table.hModule);

    // Under Common Files, System\MSMAPI (where the stand-in's lies) comes before System\Mapi.
    wchar_t common[MAX_PATH] = L"";
    ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, common, CSIDL_PROGRAM_FILES_COMMON, FALSE));
    const std::wstring later = std::wstring(common) + L"\\System\\Mapi\\" + testsupport::UniqueName(L"1033");
    ASSERT_EQ(0, SHCreateDirectoryExW(nullptr, later.c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(library.c_str(), (later + L"\\msmapi32.dll").c_str(), TRUE));
    outlook::LoadMSMAPI(table);
    EXPECT_EQ(GetModuleHandleW((std::wstring(common) + L"\\System\\MSMAPI\\1033\\msmapi32.dll").c_str()),
              table.hModule);
    EXPECT_EQ(S_OK, outlook::UnloadMSMAPI(table));
    std::error_code ignored;
    std::filesystem::remove_all(later, ignored);

    // mapi32.dll exports only the plain names, msmapi32.dll the decorated ones too.
    const base::UniqueModule mapi32(LoadLibraryW(testsupport::BesideThisProgram(L"mapi32.dll").c_str()));
    outlook::BindMapiFunctions(table, mapi32.get());
    EXPECT_EQ(&table, &outlook::MapiRoute(&table));
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(mapi32.get(), "HexFromBin")),
              reinterpret_cast<void*>(table.HexFromBin));
    // Without any one of the eight, the table is passed by for mapi32.dll's imports.
    void (*const clear[])(outlook::MapiFunctions&) = {
        [](outlook::MapiFunctions& t) { t.MAPIInitialize = nullptr; },
        [](outlook::MapiFunctions& t) { t.MAPIUninitialize = nullptr; },
        [](outlook::MapiFunctions& t) { t.MAPILogonEx = nullptr; },
        [](outlook::MapiFunctions& t) { t.MAPIFreeBuffer = nullptr; },
        [](outlook::MapiFunctions& t) { t.HexFromBin = nullptr; },
        [](outlook::MapiFunctions& t) { t.HrQueryAllRows = nullptr; },
        [](outlook::MapiFunctions& t) { t.FreeProws = nullptr; },
        [](outlook::MapiFunctions& t) { t.HrGetOneProp = nullptr; }};
    for (size_t i = 0; i < std::size(clear); ++i) {
        outlook::MapiFunctions partial = table;
        clear[i](partial);
        EXPECT_EQ(&outlook::MapiRoute(nullptr), &outlook::MapiRoute(&partial)) << "function " << i;
    }
    std::filesystem::remove_all(root, ignored);
}

constexpr wchar_t kMessagingKey[] =
    L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows Messaging Subsystem\\Profiles";
// Office versions' keys, which the add-in's own registration under Office shares.
constexpr const wchar_t* kOfficeKeys[] = {L"Software\\Microsoft\\Office\\16.0",
                                          L"Software\\Microsoft\\Office\\15.0"};
constexpr wchar_t kKeyOnly[] = L"(key without the value)";

// The value (null: none) or kKeyOnly under a subkey of the current user.
void SetRegistry(const std::wstring& subkey, const wchar_t* text, DWORD type = REG_SZ) {
    if (!text) return;
    base::UniqueRegKey key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, subkey.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                             nullptr, key.put(), nullptr));
    if (text == kKeyOnly) return;
    const DWORD size = static_cast<DWORD>(wcslen(text) * sizeof(wchar_t));  // stored without a terminator
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.get(), L"DefaultProfile", 0, type,
                                            reinterpret_cast<const BYTE*>(text), size));
}

void ClearProfiles() {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kMessagingKey, L"DefaultProfile");
    for (const wchar_t* key : kOfficeKeys) RegDeleteTreeW(HKEY_CURRENT_USER, key);
}

// Shares the registry's default profile with the Outlook stand-in host, which writes
// it at each start: this program holds the add-in's lock.
TEST(DefaultProfileName, MessagingSubsystemFirstThenTheNewestOffice) {
    const struct {
        const wchar_t* messaging;
        DWORD messagingType;
        const wchar_t *office16, *office15;
        HRESULT result;
        const wchar_t* name;  // "sentinel" when left as it was
    } cases[] = {
        {L"Main", REG_SZ, L"Sixteen", L"Fifteen", S_OK, L"Main"},
        {L"", REG_SZ, nullptr, nullptr, S_OK, L""},
        {L"Main", REG_EXPAND_SZ, L"Sixteen", nullptr, S_OK, L"Sixteen"},
        {nullptr, REG_SZ, L"Sixteen", L"Fifteen", S_OK, L"Sixteen"},
        {nullptr, REG_SZ, kKeyOnly, L"Fifteen", E_FAIL, L"sentinel"},  // the newest Office decides
        {nullptr, REG_SZ, nullptr, L"Fifteen", S_OK, L"Fifteen"},
        {nullptr, REG_SZ, nullptr, nullptr, E_FAIL, L"sentinel"},
    };
    std::wstring saved;
    const bool hadValue =
        outlook::GetRegistryString(HKEY_CURRENT_USER, kMessagingKey, L"DefaultProfile", saved);
    for (size_t i = 0; i < std::size(cases); ++i) {
        ClearProfiles();
        SetRegistry(kMessagingKey, cases[i].messaging, cases[i].messagingType);
        SetRegistry(std::wstring(kOfficeKeys[0]) + L"\\Outlook", cases[i].office16);
        SetRegistry(std::wstring(kOfficeKeys[1]) + L"\\Outlook", cases[i].office15);
        std::wstring name = L"sentinel";
        const HRESULT hr = outlook::GetDefaultProfileName(name);
        EXPECT_EQ(cases[i].result, hr) << "case " << i << ": got 0x" << std::hex << hr;
        EXPECT_EQ(cases[i].name, name) << "case " << i;
    }
    ClearProfiles();
    if (hadValue) SetRegistry(kMessagingKey, saved.c_str());
}

}  // namespace
