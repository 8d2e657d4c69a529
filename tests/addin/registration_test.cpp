// Registration through the system's tool, read back from the registry value by value.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "addin/registrar.h"
#include "base/com_object.h"
#include "base/unique_resource.h"
#include "tests/addin/plugin.h"
#include "tests/support/child_process.h"

namespace {

using addintest::GuidText;
using addintest::kAddInKey;
using addintest::KeyExists;
using addintest::LoadedPlugin;
using addintest::PluginPath;

constexpr DWORD kProgramTimeoutMs = 60000;  // a limit for a hung program, not a measure

struct RawValue {
    LSTATUS status = ERROR_INVALID_FUNCTION;
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;
};

RawValue ReadRawValue(HKEY root, const std::wstring& path, const wchar_t* name) {
    RawValue value;
    base::UniqueRegKey key;
    value.status = RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, key.put());
    if (value.status != ERROR_SUCCESS) return value;
    DWORD size = 0;
    value.status = RegQueryValueExW(key.get(), name, nullptr, &value.type, nullptr, &size);
    if (value.status != ERROR_SUCCESS) return value;
    value.bytes.resize(size);
    value.status = RegQueryValueExW(key.get(), name, nullptr, &value.type, value.bytes.data(), &size);
    value.bytes.resize(size);
    return value;
}

// A REG_SZ read back as text, without the terminating zeros it may carry.
std::wstring TextOf(const RawValue& value) {
    std::wstring text(reinterpret_cast<const wchar_t*>(value.bytes.data()),
                      value.bytes.size() / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
}

struct KeyCounts {
    DWORD subkeys = ~0u;
    DWORD values = ~0u;
};
KeyCounts CountsOf(HKEY root, const std::wstring& path) {
    KeyCounts counts;
    base::UniqueRegKey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS) {
        RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &counts.subkeys, nullptr, nullptr,
                         &counts.values, nullptr, nullptr, nullptr, nullptr);
    }
    return counts;
}

bool SameText(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

class RegistrationTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(apartment_.succeeded());
        ASSERT_TRUE(plugin_.loaded()) << "error " << GetLastError();
        Unregister();
    }
    void TearDown() override { Unregister(); }

    // The system's tool, silent (/s), removing with /u; its exit code.
    static DWORD Regsvr32(bool removing = false) {
        std::vector<std::wstring> args{L"/s", PluginPath()};
        if (removing) args.insert(args.begin(), L"/u");
        return testsupport::Program(L"regsvr32.exe", args).Wait(kProgramTimeoutMs);
    }
    // Leaves nothing of an earlier registration, whatever state it was left in.
    void Unregister() const {
        static_cast<void>(plugin_.UnregisterServer());
        RegDeleteKeyW(HKEY_CURRENT_USER, kAddInKey);
    }

    const base::ScopedComInitializer apartment_;
    const LoadedPlugin plugin_;
};

// Through the system's tool, then again in-process: the second registration rewrites
// the class key (a stray subkey goes) and leaves one add-in key, its texts without
// terminating zeros.
TEST_F(RegistrationTest, RegisteringTwiceWritesEveryValueExactly) {
    ASSERT_EQ(0u, Regsvr32());
    const std::wstring clsid = GuidText(CLSID_Connect);
    const std::wstring classKey = L"CLSID\\" + clsid;
    base::UniqueRegKey strayKey;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, (classKey + L"\\Stray").c_str(), 0, nullptr,
                                             0, KEY_WRITE, nullptr, strayKey.put(), nullptr));
    strayKey.reset();
    ASSERT_EQ(S_OK, plugin_.RegisterServer());
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, classKey + L"\\Stray")) << "the class key was not rewritten";

    const std::wstring appId = GuidText(APPID_TallowmerePlugin);
    const std::wstring libId = GuidText(LIBID_TallowmerePluginLib);
    const std::wstring module = PluginPath();
    const std::wstring folder = module.substr(0, module.find_last_of(L'\\') + 1);
    const struct {
        HKEY root;
        std::wstring key;
        const wchar_t* name;  // null: the default value
        std::wstring text;
    } values[] = {
        {HKEY_CURRENT_USER, kAddInKey, L"FriendlyName", L"Kestrava Backup"},
        {HKEY_CURRENT_USER, kAddInKey, L"Description",
         L"Enables the backup of e-mails through Kestrava Backup."},
        {HKEY_CLASSES_ROOT, L"TallowmerePlugin.Connect.1", nullptr, L"Connect Class"},
        {HKEY_CLASSES_ROOT, L"TallowmerePlugin.Connect.1\\CLSID", nullptr, clsid},
        {HKEY_CLASSES_ROOT, L"TallowmerePlugin.Connect", nullptr, L"Connect Class"},
        {HKEY_CLASSES_ROOT, L"TallowmerePlugin.Connect\\CLSID", nullptr, clsid},
        {HKEY_CLASSES_ROOT, L"TallowmerePlugin.Connect\\CurVer", nullptr, L"TallowmerePlugin.Connect.1"},
        {HKEY_CLASSES_ROOT, classKey, nullptr, L"Connect Class"},
        {HKEY_CLASSES_ROOT, classKey, L"AppID", appId},
        {HKEY_CLASSES_ROOT, classKey + L"\\ProgID", nullptr, L"TallowmerePlugin.Connect.1"},
        {HKEY_CLASSES_ROOT, classKey + L"\\VersionIndependentProgID", nullptr, L"TallowmerePlugin.Connect"},
        {HKEY_CLASSES_ROOT, classKey + L"\\InprocServer32", nullptr, module},
        {HKEY_CLASSES_ROOT, classKey + L"\\InprocServer32", L"ThreadingModel", L"Both"},
        {HKEY_CLASSES_ROOT, classKey + L"\\TypeLib", nullptr, libId},
        {HKEY_CLASSES_ROOT, L"AppID\\" + appId, nullptr, L"TallowmerePlugin"},
        {HKEY_CLASSES_ROOT, L"AppID\\TallowmerePlugin.DLL", L"AppID", appId},
        {HKEY_CLASSES_ROOT, L"TypeLib\\" + libId + L"\\1.0", nullptr, L"TallowmerePlugin 1.0 Type Library"},
        {HKEY_CLASSES_ROOT, L"TypeLib\\" + libId + L"\\1.0\\0\\win64", nullptr, module},
        {HKEY_CLASSES_ROOT, L"TypeLib\\" + libId + L"\\1.0\\HELPDIR", nullptr, folder},
    };
    for (size_t i = 0; i < std::size(values); ++i) {
        const RawValue value = ReadRawValue(values[i].root, values[i].key, values[i].name);
        ASSERT_EQ(ERROR_SUCCESS, value.status) << "case " << i << ": got " << value.status;
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), value.type) << "case " << i;
        EXPECT_TRUE(SameText(values[i].text, TextOf(value)))
            << "case " << i << ": got \"" << testing::PrintToString(TextOf(value)) << "\"";
        if (values[i].root == HKEY_CURRENT_USER) {
            EXPECT_EQ(values[i].text.size() * sizeof(wchar_t), value.bytes.size()) << "case " << i;
        }
    }
    const RawValue loadBehavior = ReadRawValue(HKEY_CURRENT_USER, kAddInKey, L"LoadBehavior");
    ASSERT_EQ(ERROR_SUCCESS, loadBehavior.status);
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), loadBehavior.type);
    ASSERT_EQ(sizeof(DWORD), loadBehavior.bytes.size());
    EXPECT_EQ(3u, *reinterpret_cast<const DWORD*>(loadBehavior.bytes.data()));
    const KeyCounts counts = CountsOf(HKEY_CURRENT_USER, kAddInKey);
    EXPECT_EQ(0u, counts.subkeys);
    EXPECT_EQ(3u, counts.values);
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, classKey + L"\\Programmable"));
    EXPECT_EQ(static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND),
              ReadRawValue(HKEY_CLASSES_ROOT, classKey + L"\\Programmable", nullptr).status);
}

// Through the system's tool, also when the add-in key went missing before.
TEST_F(RegistrationTest, UnregisteringRemovesWhatRegistrationWrote) {
    for (const bool addInKeyGone : {false, true}) {
        ASSERT_EQ(0u, Regsvr32());
        if (addInKeyGone) {
            ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_CURRENT_USER, kAddInKey));
        }
        ASSERT_EQ(0u, Regsvr32(true)) << addInKeyGone;

        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kAddInKey));
        const std::vector<std::wstring> keys = addintest::ClassKeys();
        for (size_t i = 0; i < keys.size(); ++i) {
            EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, keys[i]))
                << "key " << i << ": " << testing::PrintToString(keys[i]);
        }
    }
    // Shared parents stay.
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"AppID"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"Software\\Microsoft\\Office\\Outlook\\Addins"));
}

// The system's registrar as the module sees it, registered in this apartment: records
// each script it runs ("R101" registers resource 101, "U102" removes resource 102) and
// fails the one numbered as armed (1-based; 0: none) with kInjected.
constexpr HRESULT kInjected = HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION);

class FakeRegistrar final : public base::ComObject<IRegistrar> {
public:
    void Arm(int failAt) {
        calls.clear();
        count_ = 0;
        failAt_ = failAt;
    }
    std::wstring calls;

    STDMETHODIMP AddReplacement(LPCOLESTR, LPCOLESTR) noexcept override { return S_OK; }
    STDMETHODIMP ClearReplacements() noexcept override { return S_OK; }
    STDMETHODIMP ResourceRegisterSz(LPCOLESTR, LPCOLESTR, LPCOLESTR) noexcept override { return E_NOTIMPL; }
    STDMETHODIMP ResourceUnregisterSz(LPCOLESTR, LPCOLESTR, LPCOLESTR) noexcept override { return E_NOTIMPL; }
    STDMETHODIMP FileRegister(LPCOLESTR) noexcept override { return E_NOTIMPL; }
    STDMETHODIMP FileUnregister(LPCOLESTR) noexcept override { return E_NOTIMPL; }
    STDMETHODIMP StringRegister(LPCOLESTR) noexcept override { return E_NOTIMPL; }
    STDMETHODIMP StringUnregister(LPCOLESTR) noexcept override { return E_NOTIMPL; }
    STDMETHODIMP ResourceRegister(LPCOLESTR, UINT id, LPCOLESTR) noexcept override { return Run(L'R', id); }
    STDMETHODIMP ResourceUnregister(LPCOLESTR, UINT id, LPCOLESTR) noexcept override { return Run(L'U', id); }

private:
    [[nodiscard]] HRESULT Run(wchar_t mode, UINT id) noexcept {
        calls += (calls.empty() ? L"" : L" ") + std::wstring(1, mode) + std::to_wstring(id);
        return ++count_ == failAt_ ? kInjected : S_OK;
    }
    [[nodiscard]] std::span<const InterfaceEntry> Table() const noexcept override {
        static constexpr InterfaceEntry kInterfaces[] = {{&__uuidof(IRegistrar)}};
        return kInterfaces;
    }

    int count_ = 0;
    int failAt_ = 0;
};

FakeRegistrar* g_registrar = nullptr;

[[nodiscard]] HRESULT FindRegistrar(REFIID iid, void** out) noexcept {
    return g_registrar->QueryInterface(iid, out);
}

// Each step runs in its order; the first failure is the result and the steps after it
// are skipped (the type library is registered last and removed between the scripts).
TEST_F(RegistrationTest, AFailingStepEndsRegistrationWithItsCode) {
    const struct {
        bool registering;
        int failAt;
        HRESULT expected;
        const wchar_t* calls;
        bool typeLibraryAfter;
    } cases[] = {
        {true, 0, S_OK, L"R101 R102", true},       {true, 1, kInjected, L"R101", false},
        {true, 2, kInjected, L"R101 R102", false}, {false, 0, S_OK, L"U102 U101", false},
        {false, 1, kInjected, L"U102", true},      {false, 2, kInjected, L"U102 U101", false},
    };
    static base::ClassFactory<&FindRegistrar> factory;
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, CoRegisterClassObject(CLSID_Registrar, static_cast<IClassFactory*>(&factory),
                                          CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie));
    const std::wstring typeLibraryKey = L"TypeLib\\" + GuidText(LIBID_TallowmerePluginLib);
    for (size_t i = 0; i < std::size(cases); ++i) {
        const base::ComPtr<FakeRegistrar> registrar(new FakeRegistrar());
        g_registrar = registrar.get();
        // The opposite first, so that the type library's step has something to do
        // (removing a library that is not registered may fail: not examined).
        static_cast<void>(cases[i].registering ? plugin_.UnregisterServer() : plugin_.RegisterServer());
        registrar->Arm(cases[i].failAt);
        const HRESULT hr = cases[i].registering ? plugin_.RegisterServer() : plugin_.UnregisterServer();
        EXPECT_EQ(cases[i].expected, hr) << "case " << i << ": got 0x" << std::hex << hr;
        EXPECT_EQ(cases[i].calls, registrar->calls) << "case " << i;
        EXPECT_EQ(cases[i].typeLibraryAfter, KeyExists(HKEY_CLASSES_ROOT, typeLibraryKey)) << "case " << i;
    }
    g_registrar = nullptr;
    EXPECT_EQ(S_OK, CoRevokeClassObject(cookie));
}

}  // namespace
