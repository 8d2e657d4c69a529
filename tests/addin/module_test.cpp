// The module as a COM server file: class table, lock, the object's interfaces, the
// embedded type library, the resources and the running marker.
#include <gtest/gtest.h>

#include <string>

#include "base/unique_resource.h"
#include "tests/addin/plugin.h"
#include "tests/support/child_process.h"
#include "tests/support/com_check.h"

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

// The class table and the module's lock as the exports show them; the interface table
// of the connection object.
TEST_F(ModuleTest, ClassObjectAndConnectObjectHoldTheModule) {
    const struct {
        const CLSID* clsid;
        const IID* iid;
        HRESULT expected;
    } cases[] = {
        {&CLSID_Connect, &IID_IDispatch, E_NOINTERFACE},
        {&LIBID_TallowmerePluginLib, &IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE},
        {&CLSID_OutlookApplication, &IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        void* object = kSentinel;
        const HRESULT hr = plugin_.GetClassObject(*cases[i].clsid, *cases[i].iid, &object);
        EXPECT_EQ(cases[i].expected, hr) << "case " << i << ": got 0x" << std::hex << hr;
        EXPECT_EQ(nullptr, object) << "case " << i;
    }

    EXPECT_EQ(S_OK, plugin_.CanUnloadNow());
    ComPtr<IClassFactory> factory = ClassObject();
    EXPECT_EQ(S_FALSE, plugin_.CanUnloadNow()) << "class object held";
    ComPtr<IUnknown> object;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, object.put_void()));
    factory.reset();
    EXPECT_EQ(S_FALSE, plugin_.CanUnloadNow()) << "object held";

    testsupport::ExpectInterfaces(object.get(), {&IID_IDispatch, &__uuidof(_IDTExtensibility2), &__uuidof(IConnect)},
                                  {&__uuidof(_Application)});
    ComPtr<_IDTExtensibility2> extensibility;
    ComPtr<IConnect> connect;
    ASSERT_EQ(S_OK, object.As(extensibility));
    ASSERT_EQ(S_OK, object.As(connect));
    EXPECT_NE(static_cast<IUnknown*>(extensibility.get()), static_cast<IUnknown*>(connect.get()))
        << "each dual interface has its own vtable";
    extensibility.reset();
    connect.reset();
    EXPECT_EQ(1u, testsupport::ReferenceCount(object.get()));
    object.reset();
    EXPECT_EQ(S_OK, plugin_.CanUnloadNow()) << "the last Release did not give the module lock back";
}

// A type's kind, flags, GUID and vtable size, and its name and text.
struct TypeFacts {
    TYPEKIND kind;
    WORD flags;
    GUID guid;
    WORD vtableSize;
    std::wstring documentation;
};
TypeFacts FactsOf(ITypeInfo* info) {
    TYPEATTR* attributes = nullptr;
    EXPECT_EQ(S_OK, info->GetTypeAttr(&attributes));
    if (!attributes) return {};
    TypeFacts facts{attributes->typekind, attributes->wTypeFlags, attributes->guid, attributes->cbSizeVft, {}};
    info->ReleaseTypeAttr(attributes);
    base::UniqueBstr name, text;
    EXPECT_EQ(S_OK, info->GetDocumentation(MEMBERID_NIL, name.put(), text.put(), nullptr, nullptr));
    facts.documentation = std::wstring(name.c_str()) + L"|" + text.c_str();
    return facts;
}

// The type library Outlook reads, and the type information each dual interface serves.
TEST_F(ModuleTest, TypeLibraryAndDualInterfacesDescribeIConnect) {
    ComPtr<ITypeLib> library;
    ASSERT_EQ(S_OK, LoadTypeLibEx(addintest::PluginPath().c_str(), REGKIND_NONE, library.put()));
    TLIBATTR* libraryAttributes = nullptr;
    ASSERT_EQ(S_OK, library->GetLibAttr(&libraryAttributes));
    EXPECT_TRUE(IsEqualGUID(LIBID_TallowmerePluginLib, libraryAttributes->guid));
    EXPECT_EQ(0x0001'0000u, MAKELONG(libraryAttributes->wMinorVerNum, libraryAttributes->wMajorVerNum));
    EXPECT_EQ(SYS_WIN64, libraryAttributes->syskind);
    library->ReleaseTLibAttr(libraryAttributes);
    base::UniqueBstr name, text;
    ASSERT_EQ(S_OK, library->GetDocumentation(-1, name.put(), text.put(), nullptr, nullptr));
    EXPECT_STREQ(L"TallowmerePluginLib", name.c_str());
    EXPECT_STREQ(L"TallowmerePlugin 1.0 Type Library", text.c_str());

    ComPtr<ITypeInfo> connectInterface, vtableHalf, coclass, defaultInterface;
    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(__uuidof(IConnect), connectInterface.put()));
    TypeFacts facts = FactsOf(connectInterface.get());
    EXPECT_EQ(TKIND_DISPATCH, facts.kind);
    EXPECT_TRUE(facts.flags & TYPEFLAG_FDUAL);
    EXPECT_EQ(L"IConnect|IConnect Interface", facts.documentation);
    HREFTYPE reference = 0;
    ASSERT_EQ(S_OK, connectInterface->GetRefTypeOfImplType(-1, &reference));
    ASSERT_EQ(S_OK, connectInterface->GetRefTypeInfo(reference, vtableHalf.put()));
    EXPECT_EQ(7u * sizeof(void*), FactsOf(vtableHalf.get()).vtableSize) << "IUnknown and IDispatch only";

    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(CLSID_Connect, coclass.put()));
    facts = FactsOf(coclass.get());
    EXPECT_EQ(TKIND_COCLASS, facts.kind);
    EXPECT_EQ(L"Connect|Connect Class", facts.documentation);
    INT flags = 0;
    EXPECT_EQ(S_OK, coclass->GetImplTypeFlags(0, &flags));
    EXPECT_EQ(IMPLTYPEFLAG_FDEFAULT, flags);
    ASSERT_EQ(S_OK, coclass->GetRefTypeOfImplType(0, &reference));
    ASSERT_EQ(S_OK, coclass->GetRefTypeInfo(reference, defaultInterface.put()));
    EXPECT_TRUE(IsEqualGUID(__uuidof(IConnect), FactsOf(defaultInterface.get()).guid));

    ComPtr<_IDTExtensibility2> extensibility;
    ASSERT_EQ(S_OK, plugin_.CreateConnect(extensibility));
    ComPtr<IConnect> connect;
    ASSERT_EQ(S_OK, extensibility.As(connect));
    ComPtr<ITypeInfo> served;
    ASSERT_EQ(S_OK, connect->GetTypeInfo(0, LOCALE_NEUTRAL, served.put()));
    EXPECT_TRUE(IsEqualGUID(__uuidof(IConnect), FactsOf(served.get()).guid));
    // The add-in interface's own information comes from the host's Add-In Designer
    // library; where that is not registered, the failure says so.
    const HRESULT hr = extensibility->GetTypeInfo(0, LOCALE_NEUTRAL, served.put());
    if (SUCCEEDED(hr)) {
        EXPECT_TRUE(IsEqualGUID(__uuidof(_IDTExtensibility2), FactsOf(served.get()).guid));
    } else {
        EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, hr) << "got 0x" << std::hex << hr;
    }
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
