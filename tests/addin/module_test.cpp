// The module as a COM server file: class object, lock count, the object's interfaces,
// the embedded type library, the resources and the running marker.
#include <gtest/gtest.h>

#include <string>

#include "base/unique_resource.h"
#include "tests/addin/plugin.h"
#include "tests/outlook/fake_dispatch.h"
#include "tests/support/child_process.h"

namespace {

using addintest::LoadedPlugin;
using base::ComPtr;

constexpr wchar_t kRunningMarker[] = L"Local\\Kestrava.TallowmerePlugin.RunningMtx";
constexpr DWORD kChildTimeoutMs = 60000;  // a limit for hung children, not a measure
void* const kSentinel = reinterpret_cast<void*>(static_cast<uintptr_t>(0xdeadbeef));

class ModuleTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(apartment_.succeeded());
        ASSERT_TRUE(plugin_.loaded()) << "error " << GetLastError();
    }
    [[nodiscard]] ComPtr<IClassFactory> ClassObject() const {
        ComPtr<IClassFactory> factory;
        EXPECT_EQ(S_OK, plugin_.GetClassObject(CLSID_Connect, IID_IClassFactory, factory.put_void()));
        return factory;
    }

    const base::ScopedComInitializer apartment_;
    const LoadedPlugin plugin_;
};

TEST_F(ModuleTest, CanUnloadNowOnlyWithoutClassObjectsObjectsOrLocks) {
    EXPECT_EQ(S_OK, plugin_.CanUnloadNow());
    ComPtr<IClassFactory> factory = ClassObject();
    EXPECT_EQ(S_FALSE, plugin_.CanUnloadNow()) << "class object held";

    ComPtr<IUnknown> object;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, object.put_void()));
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    factory.reset();
    EXPECT_EQ(S_FALSE, plugin_.CanUnloadNow()) << "object and lock held";
    object.reset();
    EXPECT_EQ(S_FALSE, plugin_.CanUnloadNow()) << "lock held";

    factory = ClassObject();
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    factory.reset();
    EXPECT_EQ(S_OK, plugin_.CanUnloadNow());
}

TEST_F(ModuleTest, ClassObjectRefusesAggregationAndUnknownInterfaces) {
    const ComPtr<fake::FakeDispatch> outer = fake::FakeDispatch::Create();
    const struct {
        IUnknown* outer;
        const IID* iid;
        HRESULT expected;
    } cases[] = {
        {outer.get(), &IID_IUnknown, CLASS_E_NOAGGREGATION},
        {nullptr, &IID_IClassFactory, E_NOINTERFACE},
        {nullptr, &IID_IPersist, E_NOINTERFACE},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        ComPtr<IClassFactory> factory = ClassObject();
        void* object = kSentinel;
        const HRESULT hr = factory->CreateInstance(cases[i].outer, *cases[i].iid, &object);
        EXPECT_EQ(cases[i].expected, hr) << "case " << i << ": got 0x" << std::hex << hr;
        EXPECT_EQ(nullptr, object) << "case " << i;
        factory.reset();
        EXPECT_EQ(S_OK, plugin_.CanUnloadNow()) << "case " << i << ": an object or lock was left behind";
    }
    EXPECT_EQ(1u, outer->references());
}

TEST_F(ModuleTest, GetClassObjectKnowsOnlyTheConnectClass) {
    const struct {
        const CLSID* clsid;
        const IID* iid;
        HRESULT expected;
    } cases[] = {
        {&CLSID_Connect, &IID_IClassFactory, S_OK},
        {&CLSID_Connect, &IID_IUnknown, S_OK},
        {&CLSID_Connect, &IID_IDispatch, E_NOINTERFACE},
        {&LIBID_TallowmerePluginLib, &IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE},
        {&CLSID_OutlookApplication, &IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        void* object = kSentinel;
        const HRESULT hr = plugin_.GetClassObject(*cases[i].clsid, *cases[i].iid, &object);
        EXPECT_EQ(cases[i].expected, hr) << "case " << i << ": got 0x" << std::hex << hr;
        const ComPtr<IUnknown> owner(static_cast<IUnknown*>(SUCCEEDED(hr) ? object : nullptr));
        if (FAILED(hr)) {
            EXPECT_EQ(nullptr, object) << "case " << i;
        }
    }
    EXPECT_EQ(S_OK, plugin_.CanUnloadNow());
}

TEST_F(ModuleTest, ConnectAnswersItsInterfaceTableAndCountsReferences) {
    ComPtr<IUnknown> object;
    ComPtr<IClassFactory> factory = ClassObject();
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, object.put_void()));
    factory.reset();

    ComPtr<_IDTExtensibility2> extensibility;
    ComPtr<IConnect> connect;
    ASSERT_EQ(S_OK, object.As(extensibility));
    ASSERT_EQ(S_OK, object.As(connect));
    IUnknown* const extensibilityPart = extensibility.get();
    IUnknown* const connectPart = connect.get();
    EXPECT_NE(extensibilityPart, connectPart) << "each dual interface has its own vtable";

    const struct {
        const IID* iid;
        HRESULT expected;
        IUnknown* part;
    } cases[] = {
        {&IID_IUnknown, S_OK, extensibilityPart},
        {&IID_IDispatch, S_OK, extensibilityPart},
        {&__uuidof(_IDTExtensibility2), S_OK, extensibilityPart},
        {&__uuidof(IConnect), S_OK, connectPart},
        {&IID_IClassFactory, E_NOINTERFACE, nullptr},
        {&IID_IPersist, E_NOINTERFACE, nullptr},
        {&IID_IMarshal, E_NOINTERFACE, nullptr},
        {&__uuidof(_Application), E_NOINTERFACE, nullptr},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        void* found = kSentinel;
        const HRESULT hr = connect->QueryInterface(*cases[i].iid, &found);
        EXPECT_EQ(cases[i].expected, hr) << "case " << i << ": got 0x" << std::hex << hr;
        EXPECT_EQ(static_cast<void*>(cases[i].part), found) << "case " << i;
        const ComPtr<IUnknown> owner(static_cast<IUnknown*>(SUCCEEDED(hr) ? found : nullptr));
    }

    // References: `object`, `extensibility` and `connect` hold three.
    EXPECT_EQ(4u, object->AddRef());
    EXPECT_EQ(3u, object->Release());
    extensibility.reset();
    connect.reset();
    EXPECT_EQ(S_FALSE, plugin_.CanUnloadNow());
    EXPECT_EQ(0u, object.detach()->Release());
    EXPECT_EQ(S_OK, plugin_.CanUnloadNow()) << "the last Release did not give the module lock back";
}

// Releases a TYPEATTR when the owner dies.
class TypeAttributes {
public:
    explicit TypeAttributes(ITypeInfo* info) : info_(info) { EXPECT_EQ(S_OK, info_->GetTypeAttr(&attributes_)); }
    ~TypeAttributes() {
        if (attributes_) info_->ReleaseTypeAttr(attributes_);
    }
    const TYPEATTR* operator->() const { return attributes_; }

private:
    ITypeInfo* info_;
    TYPEATTR* attributes_ = nullptr;
};

std::wstring Documentation(ITypeInfo* info) {
    base::UniqueBstr name, text;
    EXPECT_EQ(S_OK, info->GetDocumentation(MEMBERID_NIL, name.put(), text.put(), nullptr, nullptr));
    return std::wstring(name.c_str()) + L"|" + text.c_str();
}

TEST_F(ModuleTest, TypeLibraryDescribesIConnectAndTheConnectClass) {
    ComPtr<ITypeLib> library;
    ASSERT_EQ(S_OK, LoadTypeLibEx(addintest::PluginPath().c_str(), REGKIND_NONE, library.put()));
    TLIBATTR* libraryAttributes = nullptr;
    ASSERT_EQ(S_OK, library->GetLibAttr(&libraryAttributes));
    EXPECT_TRUE(IsEqualGUID(LIBID_TallowmerePluginLib, libraryAttributes->guid));
    EXPECT_EQ(1, libraryAttributes->wMajorVerNum);
    EXPECT_EQ(0, libraryAttributes->wMinorVerNum);
    EXPECT_EQ(SYS_WIN64, libraryAttributes->syskind);
    library->ReleaseTLibAttr(libraryAttributes);
    base::UniqueBstr name, text;
    ASSERT_EQ(S_OK, library->GetDocumentation(-1, name.put(), text.put(), nullptr, nullptr));
    EXPECT_STREQ(L"TallowmerePluginLib", name.c_str());
    EXPECT_STREQ(L"TallowmerePlugin 1.0 Type Library", text.c_str());

    ComPtr<ITypeInfo> connectInterface;
    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(__uuidof(IConnect), connectInterface.put()));
    EXPECT_EQ(L"IConnect|IConnect Interface", Documentation(connectInterface.get()));
    {
        const TypeAttributes attributes(connectInterface.get());
        EXPECT_EQ(TKIND_DISPATCH, attributes->typekind);
        EXPECT_TRUE(attributes->wTypeFlags & TYPEFLAG_FDUAL);
    }
    HREFTYPE vtableHalf = 0;
    ASSERT_EQ(S_OK, connectInterface->GetRefTypeOfImplType(-1, &vtableHalf));
    ComPtr<ITypeInfo> vtableInfo;
    ASSERT_EQ(S_OK, connectInterface->GetRefTypeInfo(vtableHalf, vtableInfo.put()));
    {
        const TypeAttributes attributes(vtableInfo.get());
        EXPECT_EQ(TKIND_INTERFACE, attributes->typekind);
        EXPECT_EQ(0, attributes->cFuncs) << "IConnect has no methods of its own";
        EXPECT_EQ(7u * sizeof(void*), attributes->cbSizeVft) << "IUnknown and IDispatch only";
    }

    ComPtr<ITypeInfo> coclass;
    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(CLSID_Connect, coclass.put()));
    EXPECT_EQ(L"Connect|Connect Class", Documentation(coclass.get()));
    {
        const TypeAttributes attributes(coclass.get());
        EXPECT_EQ(TKIND_COCLASS, attributes->typekind);
        EXPECT_EQ(1, attributes->cImplTypes);
    }
    INT flags = 0;
    EXPECT_EQ(S_OK, coclass->GetImplTypeFlags(0, &flags));
    EXPECT_EQ(IMPLTYPEFLAG_FDEFAULT, flags);
    HREFTYPE implemented = 0;
    ASSERT_EQ(S_OK, coclass->GetRefTypeOfImplType(0, &implemented));
    ComPtr<ITypeInfo> defaultInterface;
    ASSERT_EQ(S_OK, coclass->GetRefTypeInfo(implemented, defaultInterface.put()));
    const TypeAttributes defaultAttributes(defaultInterface.get());
    EXPECT_TRUE(IsEqualGUID(__uuidof(IConnect), defaultAttributes->guid));
}

TEST_F(ModuleTest, EachDualInterfaceServesItsOwnTypeInformation) {
    ComPtr<_IDTExtensibility2> extensibility;
    ASSERT_EQ(S_OK, plugin_.CreateConnect(extensibility));
    ComPtr<IConnect> connect;
    ASSERT_EQ(S_OK, extensibility.As(connect));

    UINT count = 0xdeadbeef;
    EXPECT_EQ(S_OK, connect->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(S_OK, connect->GetTypeInfo(0, LOCALE_NEUTRAL, info.put()));
    EXPECT_TRUE(IsEqualGUID(__uuidof(IConnect), TypeAttributes(info.get())->guid));
    ITypeInfo* missing = reinterpret_cast<ITypeInfo*>(kSentinel);
    EXPECT_EQ(DISP_E_BADINDEX, connect->GetTypeInfo(1, LOCALE_NEUTRAL, &missing));
    EXPECT_EQ(nullptr, missing);

    LPOLESTR names[] = {const_cast<LPOLESTR>(L"NoSuchMember")};
    DISPID id = 0;
    EXPECT_EQ(DISP_E_UNKNOWNNAME, connect->GetIDsOfNames(IID_NULL, names, 1, LOCALE_NEUTRAL, &id));
    DISPPARAMS none{};
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND,
              connect->Invoke(1, IID_NULL, LOCALE_NEUTRAL, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr));
    EXPECT_EQ(DISP_E_UNKNOWNINTERFACE,
              connect->Invoke(1, IID_IUnknown, LOCALE_NEUTRAL, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr));

    // The add-in interface's own information comes from the host's Add-In Designer
    // library; where that is not registered, the failure says so.
    ComPtr<ITypeInfo> hostInfo;
    const HRESULT hr = extensibility->GetTypeInfo(0, LOCALE_NEUTRAL, hostInfo.put());
    if (SUCCEEDED(hr)) {
        EXPECT_TRUE(IsEqualGUID(__uuidof(_IDTExtensibility2), TypeAttributes(hostInfo.get())->guid));
    } else {
        EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, hr) << "got 0x" << std::hex << hr;
    }
}

TEST_F(ModuleTest, ResourcesCarryVersionNamesScriptsAndManifest) {
    const std::wstring path = addintest::PluginPath();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_NE(0u, size) << "error " << GetLastError();
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(0x000E0001u, fixed->dwFileVersionMS);  // 14.1
    EXPECT_EQ(0x00000001u, fixed->dwFileVersionLS);  // .0.1
    EXPECT_EQ(0x000E0001u, fixed->dwProductVersionMS);
    EXPECT_EQ(0x00000000u, fixed->dwProductVersionLS);
    EXPECT_EQ(static_cast<DWORD>(VFT_DLL), fixed->dwFileType);

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                               &length));
    ASSERT_EQ(2 * sizeof(WORD), length);
    EXPECT_EQ(0x0409, translation[0]);
    EXPECT_EQ(1252, translation[1]);

    const struct {
        const wchar_t* name;
        const wchar_t* value;
    } strings[] = {
        {L"FileDescription", L"Kestrava Backup"},     {L"FileVersion", L"14.1.0.1"},
        {L"ProductVersion", L"14.1.0.0"},             {L"ProductName", L"Kestrava"},
        {L"InternalName", L"TallowmerePlugin.dll"},   {L"OriginalFilename", L"TallowmerePlugin.dll"},
    };
    for (size_t i = 0; i < std::size(strings); ++i) {
        wchar_t* value = nullptr;
        const std::wstring query = std::wstring(L"\\StringFileInfo\\040904E4\\") + strings[i].name;
        ASSERT_TRUE(VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length))
            << "case " << i;
        EXPECT_STREQ(strings[i].value, value) << "case " << i;
    }

    wchar_t projectName[64] = L"sentinel";
    EXPECT_EQ(16, LoadStringW(plugin_.module(), 100, projectName, 64));
    EXPECT_STREQ(L"TallowmerePlugin", projectName);

    const struct {
        WORD id;
        const wchar_t* type;
    } resources[] = {{101, L"REGISTRY"}, {102, L"REGISTRY"}, {1, L"TYPELIB"}};
    for (size_t i = 0; i < std::size(resources); ++i) {
        EXPECT_NE(nullptr, FindResourceW(plugin_.module(), MAKEINTRESOURCEW(resources[i].id), resources[i].type))
            << "case " << i;
    }

    HRSRC manifest = FindResourceW(plugin_.module(), MAKEINTRESOURCEW(2), MAKEINTRESOURCEW(24));
    ASSERT_NE(nullptr, manifest);
    const std::string text(static_cast<const char*>(LockResource(LoadResource(plugin_.module(), manifest))),
                           SizeofResource(plugin_.module(), manifest));
    EXPECT_NE(std::string::npos, text.find("level=\"asInvoker\"")) << text;
    EXPECT_NE(std::string::npos, text.find("uiAccess=\"false\"")) << text;
}

// Loads the module, says so, unloads it when told, says so, and ends when told.
TEST_CHILD_ROLE(hold_module) {
    const base::UniqueHandle loaded(OpenEventW(EVENT_MODIFY_STATE, FALSE, (args.at(0) + L".loaded").c_str()));
    const base::UniqueHandle unload(OpenEventW(SYNCHRONIZE, FALSE, (args.at(0) + L".unload").c_str()));
    const base::UniqueHandle unloaded(OpenEventW(EVENT_MODIFY_STATE, FALSE, (args.at(0) + L".unloaded").c_str()));
    const base::UniqueHandle end(OpenEventW(SYNCHRONIZE, FALSE, (args.at(0) + L".end").c_str()));
    if (!loaded || !unload || !unloaded || !end) return 1;
    {
        const LoadedPlugin plugin;
        if (!plugin.loaded()) return 2;
        SetEvent(loaded.get());
        if (WaitForSingleObject(unload.get(), kChildTimeoutMs) != WAIT_OBJECT_0) return 3;
    }
    SetEvent(unloaded.get());
    return WaitForSingleObject(end.get(), kChildTimeoutMs) == WAIT_OBJECT_0 ? 0 : 4;
}

bool MarkerExists() {
    SetLastError(0xdeadbeef);
    const base::UniqueHandle marker(OpenMutexW(SYNCHRONIZE, FALSE, kRunningMarker));
    if (!marker) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    }
    return marker.valid();
}

// One process holding the module, driven through named events.
class ModuleHolder {
public:
    explicit ModuleHolder(const std::wstring& name)
        : loaded_(CreateEventW(nullptr, TRUE, FALSE, (name + L".loaded").c_str())),
          unload_(CreateEventW(nullptr, TRUE, FALSE, (name + L".unload").c_str())),
          unloaded_(CreateEventW(nullptr, TRUE, FALSE, (name + L".unloaded").c_str())),
          end_(CreateEventW(nullptr, TRUE, FALSE, (name + L".end").c_str())),
          child_(L"hold_module", {name}) {}
    ~ModuleHolder() { SetEvent(end_.get()); }

    [[nodiscard]] bool WaitLoaded() const { return WaitFor(loaded_); }
    [[nodiscard]] bool Unload() const { return SetEvent(unload_.get()) && WaitFor(unloaded_); }
    [[nodiscard]] DWORD End() {
        SetEvent(end_.get());
        return child_.Wait(kChildTimeoutMs);
    }

private:
    [[nodiscard]] bool WaitFor(const base::UniqueHandle& event) const {
        const HANDLE waits[] = {event.get(), child_.handle()};
        return WaitForMultipleObjects(2, waits, FALSE, kChildTimeoutMs) == WAIT_OBJECT_0;
    }

    base::UniqueHandle loaded_, unload_, unloaded_, end_;
    testsupport::ChildProcess child_;
};

// Not a ModuleTest: this process must not hold the module itself.
TEST(RunningMarkerTest, ExistsWhileAnyProcessHoldsTheModule) {
    ASSERT_FALSE(MarkerExists()) << "another process holds the module";
    ModuleHolder first(testsupport::UniqueName(L"marker.first"));
    ASSERT_TRUE(first.WaitLoaded());
    EXPECT_TRUE(MarkerExists());
    ModuleHolder second(testsupport::UniqueName(L"marker.second"));
    ASSERT_TRUE(second.WaitLoaded());
    EXPECT_TRUE(MarkerExists());

    ASSERT_TRUE(first.Unload());
    EXPECT_TRUE(MarkerExists()) << "the second process still holds the module";
    ASSERT_TRUE(second.Unload());
    EXPECT_FALSE(MarkerExists()) << "both processes unloaded the module";
    EXPECT_EQ(0u, first.End());
    EXPECT_EQ(0u, second.End());
}

}  // namespace
