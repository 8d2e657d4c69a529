// The module as a COM server file: class table, lock, the object's interfaces, the
// type information it serves and the running marker.
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

// A type's kind, flags and GUID.
TYPEATTR AttributesOf(ITypeInfo* info) {
    TYPEATTR* attributes = nullptr;
    EXPECT_EQ(S_OK, info->GetTypeAttr(&attributes));
    if (!attributes) return {};
    const TYPEATTR copy = *attributes;
    info->ReleaseTypeAttr(attributes);
    return copy;
}

// IConnect's information from the module's own type library (where its library and
// registration tests find it); _IDTExtensibility2's from the host's Add-In Designer
// library, and where that is not registered, the failure says so.
TEST_F(ModuleTest, EachDualInterfaceServesItsOwnTypeInformation) {
    ComPtr<_IDTExtensibility2> extensibility;
    ASSERT_EQ(S_OK, plugin_.CreateConnect(extensibility));
    ComPtr<IConnect> connect;
    ASSERT_EQ(S_OK, extensibility.As(connect));
    ComPtr<ITypeInfo> served;
    ASSERT_EQ(S_OK, connect->GetTypeInfo(0, LOCALE_NEUTRAL, served.put()));
    const TYPEATTR attributes = AttributesOf(served.get());
    EXPECT_TRUE(IsEqualGUID(__uuidof(IConnect), attributes.guid));
    EXPECT_EQ(TKIND_DISPATCH, attributes.typekind);
    EXPECT_TRUE(attributes.wTypeFlags & TYPEFLAG_FDUAL);

    const HRESULT hr = extensibility->GetTypeInfo(0, LOCALE_NEUTRAL, served.put());
    if (SUCCEEDED(hr)) {
        EXPECT_TRUE(IsEqualGUID(__uuidof(_IDTExtensibility2), AttributesOf(served.get()).guid));
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
