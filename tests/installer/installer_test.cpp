// The release's MSI as a user installs it, with the system's msiexec in the test prefix:
// what it registers against what the module's own registration writes; installed over
// an older version, the add-in loaded by the Outlook stand-in and answering; removed
// without a trace. The packages are package_test.sh's: the release, signed with a
// throwaway certificate, and an older package of the same product.
#include <gtest/gtest.h>

#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "base/unique_resource.h"
#include "tests/addin/plugin.h"
#include "tests/support/child_process.h"
#include "tests/support/standin_host.h"

extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key);  // deletes a registry link itself, not its target

namespace {

using addintest::ClassKeys;
using addintest::kAddInKey;
using addintest::KeyExists;
using testsupport::Program;

constexpr DWORD kProgramTimeoutMs = 120000;  // a limit for a hung installer, not a measure
constexpr wchar_t kUserClasses[] = L"Software\\Classes\\";
constexpr wchar_t kEnvironmentKey[] = L"Environment";
constexpr wchar_t kPathBefore[] = L"C:\\Existing";

struct MsiTraits {
    using Type = MSIHANDLE;
    static Type Invalid() noexcept { return 0; }
    static void Close(Type handle) noexcept { MsiCloseHandle(handle); }
};
using UniqueMsi = base::UniqueResource<MsiTraits>;

// A file of package_test.sh's release folder.
std::wstring Release(const std::wstring& name) {
    const std::wstring path = testsupport::BesideThisProgram(L"..\\tests\\installer\\release\\") + name;
    wchar_t full[MAX_PATH];
    return std::wstring(full, GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr));
}

// The one MSI of the signed release.
std::wstring CurrentPackage() {
    WIN32_FIND_DATAW found;
    const base::UniqueFind find(FindFirstFileW(Release(L"signed\\*.msi").c_str(), &found));
    return find ? Release(L"signed\\") + found.cFileName : std::wstring();
}

// The first column of each row `query` selects from the package's database.
std::vector<std::wstring> Query(const std::wstring& package, const wchar_t* query) {
    std::vector<std::wstring> texts;
    UniqueMsi database, view, record;
    if (MsiOpenDatabaseW(package.c_str(), MSIDBOPEN_READONLY, database.put()) != ERROR_SUCCESS ||
        MsiDatabaseOpenViewW(database.get(), query, view.put()) != ERROR_SUCCESS ||
        MsiViewExecute(view.get(), 0) != ERROR_SUCCESS)
        return texts;
    while (MsiViewFetch(view.get(), record.put()) == ERROR_SUCCESS) {
        wchar_t text[512];
        DWORD length = std::size(text);
        if (MsiRecordGetStringW(record.get(), 1, text, &length) == ERROR_SUCCESS)
            texts.emplace_back(text, length);
    }
    return texts;
}

std::wstring UpgradeCode(const std::wstring& package) {
    const auto codes = Query(package, L"SELECT `Value` FROM `Property` WHERE `Property` = 'UpgradeCode'");
    return codes.empty() ? std::wstring() : codes[0];
}

// The products installed from packages with this upgrade code.
std::vector<std::wstring> RelatedProducts(const std::wstring& upgradeCode) {
    std::vector<std::wstring> products;
    wchar_t product[39];
    for (DWORD i = 0; MsiEnumRelatedProductsW(upgradeCode.c_str(), 0, i, product) == ERROR_SUCCESS; ++i)
        products.emplace_back(product);
    return products;
}

std::wstring ProductVersion(const std::wstring& product) {
    wchar_t version[64];
    DWORD length = std::size(version);
    return MsiGetProductInfoW(product.c_str(), INSTALLPROPERTY_VERSIONSTRING, version, &length) ==
                   ERROR_SUCCESS
               ? std::wstring(version, length)
               : std::wstring();
}

DWORD RunProgram(const std::wstring& program, const std::vector<std::wstring>& args) {
    return Program(program, args).Wait(kProgramTimeoutMs);
}
// The program's output, once it has ended.
std::string OutputOf(const std::wstring& program, const std::vector<std::wstring>& args) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    base::UniqueHandle read, write;
    if (!CreatePipe(read.put(), write.put(), &inherit, 0)) return {};
    SetHandleInformation(read.get(), HANDLE_FLAG_INHERIT, 0);
    const Program process(program, args, write.get());
    write.reset();
    std::string output;
    char buffer[256];
    for (DWORD got = 0; ReadFile(read.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0;)
        output.append(buffer, got);
    return process.Wait(kProgramTimeoutMs) == 0 ? output : "failed: " + output;
}
// msiexec, quiet: /i PACKAGE installs, /x PACKAGE-OR-PRODUCT removes.
DWORD Msiexec(const wchar_t* action, const std::wstring& package) {
    return RunProgram(L"msiexec.exe", {action, package, L"/qn"});
}

// The user's programs folder (FOLDERID_UserProgramFiles), the product's folder in it.
std::wstring InstallFolder() {
    wchar_t local[MAX_PATH];
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local))) return {};
    return std::wstring(local) + L"\\Programs\\Kestrava Backup\\";
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A REG_SZ or REG_DWORD value of the key `path` below `root` as text; else the error or type.
std::wstring ValueText(HKEY root, const std::wstring& path, const wchar_t* name) {
    BYTE data[2048] = {};
    DWORD type = REG_NONE, size = sizeof(data) - sizeof(wchar_t);
    const LSTATUS status =
        RegGetValueW(root, path.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size);
    if (status != ERROR_SUCCESS) return L"error " + std::to_wstring(status);
    if (type == REG_DWORD) return L"dword " + std::to_wstring(*reinterpret_cast<const DWORD*>(data));
    if (type == REG_SZ) return L"sz " + std::wstring(reinterpret_cast<const wchar_t*>(data));  // zeros end it
    return L"type " + std::to_wstring(type);
}

// The key `label` (at `path` below `root`) and everything below it as lines
// "key|value name|value", in the registry's order: a missing key gives none.
void AddTree(HKEY root, const std::wstring& path, const std::wstring& label,
             std::vector<std::wstring>& lines) {
    base::UniqueRegKey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
    lines.push_back(label);
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = std::size(name);
        if (RegEnumValueW(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        lines.push_back(label + L"|" + name + L"|" + ValueText(key.get(), L"", name));
    }
    for (DWORD i = 0;; ++i) {
        DWORD length = std::size(name);
        if (RegEnumKeyExW(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        AddTree(root, path + L"\\" + name, label + L"\\" + name, lines);
    }
}

// What registration wrote: the add-in key and the class keys, these below `classes`.
std::vector<std::wstring> Registration(HKEY classesRoot, const std::wstring& classes) {
    std::vector<std::wstring> lines;
    AddTree(HKEY_CURRENT_USER, kAddInKey, L"add-in key", lines);
    for (const std::wstring& key : ClassKeys()) AddTree(classesRoot, classes + key, key, lines);
    return lines;
}

// The lines of `lines` that `other` lacks.
std::vector<std::wstring> Lacking(const std::vector<std::wstring>& lines,
                                  const std::vector<std::wstring>& other) {
    std::vector<std::wstring> lacking;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(lacking), [&](const std::wstring& line) {
        return std::find(other.begin(), other.end(), line) == other.end();
    });
    return lacking;
}

// Windows' COM reads the user's classes before the machine's (HKEY_CLASSES_ROOT merges
// HKCU\Software\Classes over HKLM\Software\Classes); Wine's reads the machine's only.
// While the owner lives, each of the class keys in the machine's classes is a volatile
// link to the user's key of the same name, so that COM, and with it the host, finds
// what the installer wrote where Windows would.
class UserClassesView {
public:
    UserClassesView() {
        const std::wstring user = L"\\Registry\\User\\" + UserSid() + L"\\" + kUserClasses;
        for (const std::wstring& name : ClassKeys()) {
            base::UniqueRegKey link;
            const std::wstring target = user + name;
            DWORD disposition = 0;
            if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kUserClasses + name).c_str(), 0, nullptr,
                                REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK,
                                KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, link.put(),
                                &disposition) != ERROR_SUCCESS ||
                disposition != REG_CREATED_NEW_KEY ||
                RegSetValueExW(link.get(), L"SymbolicLinkValue", 0, REG_LINK,
                               reinterpret_cast<const BYTE*>(target.data()),
                               static_cast<DWORD>(target.size() * sizeof(wchar_t))) != ERROR_SUCCESS) {
                ADD_FAILURE() << "no link to " << testing::PrintToString(target);
            }
            links_.push_back(kUserClasses + name);
        }
    }
    ~UserClassesView() {
        for (const std::wstring& path : links_) {
            base::UniqueRegKey link;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), REG_OPTION_OPEN_LINK, DELETE, link.put()) ==
                ERROR_SUCCESS)
                NtDeleteKey(link.get());
        }
    }
    UserClassesView(const UserClassesView&) = delete;
    UserClassesView& operator=(const UserClassesView&) = delete;

private:
    static std::wstring UserSid() {
        base::UniqueHandle token;
        BYTE buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
        DWORD size = 0;
        wchar_t* text = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()) ||
            !GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &size) ||
            !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text))
            return {};
        const base::UniqueLocal<wchar_t*> owner(text);
        return text;
    }

    std::vector<std::wstring> links_;
};

class Installer : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(package_.empty()) << "no release: package_test.sh makes it";
        ASSERT_FALSE(upgradeCode_.empty());
        // Nothing of the build's own registration, nor of an earlier install.
        static_cast<void>(addintest::LoadedPlugin().UnregisterServer());
        RegDeleteKeyW(HKEY_CURRENT_USER, kAddInKey);
        RemoveInstalled();
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExW(HKEY_CURRENT_USER, kEnvironmentKey, 0, nullptr, 0,
                                  KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, environment_.put(), nullptr));
        pathBefore_ = ValueText(environment_.get(), L"", L"PATH");
        SetPath(kPathBefore);
    }
    void TearDown() override {
        RemoveInstalled();
        if (pathBefore_.starts_with(L"sz ")) {
            SetPath(pathBefore_.substr(3));
        } else {
            RegDeleteValueW(environment_.get(), L"PATH");
        }
    }

    void RemoveInstalled() const {
        for (const std::wstring& product : RelatedProducts(upgradeCode_)) {
            EXPECT_EQ(0u, Msiexec(L"/x", product)) << testing::PrintToString(product);
        }
    }
    void SetPath(const std::wstring& path) const {
        RegSetValueExW(environment_.get(), L"PATH", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                       static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    }
    const std::wstring package_ = CurrentPackage();
    const std::wstring upgradeCode_ = UpgradeCode(package_);
    base::UniqueRegKey environment_;
    std::wstring pathBefore_;
};

// Key for key and value for value what regsvr32 writes for the installed module, moved
// to the user's view; and no row of the package outside those keys.
TEST_F(Installer, RegistersWhatSelfRegistrationWritesInTheUsersView) {
    ASSERT_EQ(0u, Msiexec(L"/i", package_));
    const std::vector<std::wstring> installed = Registration(HKEY_CURRENT_USER, kUserClasses);
    for (const std::wstring& key : Query(package_, L"SELECT `Key` FROM `Registry`")) {
        const auto within = [&](const std::wstring& tree) {
            return key == tree || key.starts_with(tree + L"\\");
        };
        const std::vector<std::wstring> trees = ClassKeys();
        EXPECT_TRUE(within(kAddInKey) ||
                    std::any_of(trees.begin(), trees.end(),
                                [&](const std::wstring& tree) { return within(kUserClasses + tree); }))
            << "a row outside what registration writes: " << testing::PrintToString(key);
    }

    const std::wstring module = InstallFolder() + L"TallowmerePlugin.dll";
    ASSERT_EQ(0u, RunProgram(L"regsvr32.exe", {L"/s", module}));
    const std::vector<std::wstring> registered = Registration(HKEY_CLASSES_ROOT, L"");
    EXPECT_EQ(0u, RunProgram(L"regsvr32.exe", {L"/u", L"/s", module}));
    for (const std::wstring& key : ClassKeys()) {
        EXPECT_NE(registered.end(), std::find(registered.begin(), registered.end(), key))
            << testing::PrintToString(key);
    }
    EXPECT_EQ(std::vector<std::wstring>{}, Lacking(registered, installed)) << "written by regsvr32 only";
    EXPECT_EQ(std::vector<std::wstring>{}, Lacking(installed, registered)) << "written by the package only";
}

// Installed as a user gets it, over an older version: one product, the newer; the files
// in the user's programs folder with the one version; the client on the user's PATH; the
// add-in in Outlook's add-in list, loaded by the Outlook stand-in and answering the
// installed client. Then removed without a trace.
TEST_F(Installer, InstalledOverAnOlderVersionRunsInOutlookAndUninstallLeavesNothing) {
    const std::wstring older = Release(L"older.msi");
    ASSERT_EQ(upgradeCode_, UpgradeCode(older));
    ASSERT_EQ(0u, Msiexec(L"/i", older));
    ASSERT_EQ(L"1.0.0", ProductVersion(RelatedProducts(upgradeCode_).at(0)));
    ASSERT_EQ(0u, Msiexec(L"/i", package_));
    const std::vector<std::wstring> products = RelatedProducts(upgradeCode_);
    ASSERT_EQ(1u, products.size());
    EXPECT_EQ(L"14.1.0", ProductVersion(products[0]));

    const std::wstring folder = InstallFolder();
    const struct {
        const wchar_t* file;
        const wchar_t* name;
        const wchar_t* value;
    } kVersionBlocks[] = {
        {L"TallowmerePlugin.dll", L"FileDescription", L"Kestrava Backup"},
        {L"TallowmerePlugin.dll", L"FileVersion", L"14.1.0.1"},
        {L"TallowmerePlugin.dll", L"ProductVersion", L"14.1.0.0"},
        {L"TallowmerePlugin.dll", L"ProductName", L"Kestrava"},
        {L"TallowmerePlugin.dll", L"InternalName", L"TallowmerePlugin.dll"},
        {L"TallowmerePlugin.dll", L"OriginalFilename", L"TallowmerePlugin.dll"},
        {L"backup-client.exe", L"FileVersion", L"14.1.0.1"},
        {L"backup-client.exe", L"ProductVersion", L"14.1.0.0"},
        {L"backup-client.exe", L"OriginalFilename", L"backup-client.exe"},
    };
    for (size_t i = 0; i < std::size(kVersionBlocks); ++i) {
        const std::wstring file = folder + kVersionBlocks[i].file;
        std::vector<BYTE> block(GetFileVersionInfoSizeW(file.c_str(), nullptr));
        ASSERT_FALSE(block.empty()) << "case " << i << ": no version block, error " << GetLastError();
        ASSERT_TRUE(GetFileVersionInfoW(file.c_str(), 0, static_cast<DWORD>(block.size()), block.data()));
        void* value = nullptr;
        UINT size = 0;
        ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &size));
        EXPECT_EQ(0x04E40409u, *static_cast<DWORD*>(value))
            << "case " << i << ": language 0x0409, code page 1252";
        ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", &value, &size));
        const auto* fixed = static_cast<VS_FIXEDFILEINFO*>(value);
        EXPECT_EQ(0x000E0001u, fixed->dwFileVersionMS) << "case " << i;  // 14.1
        EXPECT_EQ(0x00000001u, fixed->dwFileVersionLS) << "case " << i;  // .0.1
        EXPECT_EQ(0x000E0001u, fixed->dwProductVersionMS) << "case " << i;
        EXPECT_EQ(0x00000000u, fixed->dwProductVersionLS) << "case " << i;
        const std::wstring name = std::wstring(L"\\StringFileInfo\\040904E4\\") + kVersionBlocks[i].name;
        ASSERT_TRUE(VerQueryValueW(block.data(), name.c_str(), &value, &size)) << "case " << i;
        EXPECT_STREQ(kVersionBlocks[i].value, static_cast<wchar_t*>(value)) << "case " << i;
    }
    EXPECT_EQ("backup-client 14.1.0.1\n", OutputOf(folder + L"backup-client.exe", {L"--version"}));
    EXPECT_TRUE(FileExists(folder + L"README.md"));
    EXPECT_EQ(L"sz " + folder + L";" + kPathBefore, ValueText(environment_.get(), L"", L"PATH"));

    // Outlook loads what its add-in list names with LoadBehavior 3, by ProgID.
    std::vector<std::wstring> startup;
    base::UniqueRegKey list;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Office\\Outlook\\Addins",
                                           0, KEY_READ, list.put()));
    wchar_t name[256];
    for (DWORD i = 0, length = std::size(name);
         RegEnumKeyExW(list.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++i, length = std::size(name)) {
        if (ValueText(list.get(), name, L"LoadBehavior") == L"dword 3") startup.emplace_back(name);
    }
    ASSERT_EQ(std::vector<std::wstring>{L"TallowmerePlugin.Connect"}, startup);
    {
        const UserClassesView view;
        const testsupport::StandinHost host(testsupport::BesideThisProgram(L"..\\profiles\\default"),
                                            startup[0]);
        ASSERT_NE(nullptr, host.Connect()) << "the installed add-in's channel never appeared";
        EXPECT_EQ("Outlook\n", OutputOf(folder + L"backup-client.exe", {L"--timeout", L"60000", L"profile"}));
        EXPECT_EQ(0u, host.Stop(testsupport::StandinHost::kTimeoutMs));
    }

    ASSERT_EQ(0u, Msiexec(L"/x", products[0]));
    EXPECT_TRUE(RelatedProducts(upgradeCode_).empty());
    for (const std::wstring& key : Query(package_, L"SELECT `Key` FROM `Registry`")) {
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, key)) << testing::PrintToString(key);
    }
    EXPECT_FALSE(FileExists(folder));
    EXPECT_EQ(L"sz " + std::wstring(kPathBefore), ValueText(environment_.get(), L"", L"PATH"));
}

}  // namespace
