// The one COM object base: counts, interface table, module lock, class object.
#include <gtest/gtest.h>

#include "base/com.h"
#include "base/com_object.h"
#include "tests/support/com_check.h"

namespace {

int g_destroyed = 0;

// Two interfaces with vtables of their own, as the add-in's connection object has.
class TwoFaced final : public base::ComObject<ISequentialStream, IOleWindow> {
public:
    ~TwoFaced() override { ++g_destroyed; }

    STDMETHODIMP Read(void*, ULONG, ULONG*) noexcept override { return E_NOTIMPL; }
    STDMETHODIMP Write(const void*, ULONG, ULONG*) noexcept override { return E_NOTIMPL; }
    STDMETHODIMP GetWindow(HWND* window) noexcept override {
        *window = nullptr;
        return S_OK;
    }
    STDMETHODIMP ContextSensitiveHelp(BOOL) noexcept override { return E_NOTIMPL; }

private:
    [[nodiscard]] std::span<const InterfaceEntry> Table() const noexcept override {
        static constexpr InterfaceEntry kInterfaces[] = {{&IID_ISequentialStream},
                                                         Answer<IOleWindow>(IID_IOleWindow)};
        return kInterfaces;
    }
};

base::ClassFactory<&base::CreateNew<TwoFaced>> g_factory;

TEST(ComObject, AnswersItsTableCountsAndHoldsTheModule) {
    const long locks = base::g_moduleLockCount;
    g_destroyed = 0;
    base::ComPtr<IUnknown> object;
    ASSERT_EQ(S_OK, g_factory.CreateInstance(nullptr, IID_IOleWindow, object.put_void()));
    EXPECT_EQ(locks + 1, base::g_moduleLockCount);
    testsupport::ExpectInterfaces(object.get(), {&IID_ISequentialStream, &IID_IOleWindow}, {&IID_IStream});
    EXPECT_EQ(1u, testsupport::ReferenceCount(object.get()));

    base::ComPtr<IOleWindow> window;
    ASSERT_EQ(S_OK, object.As(window));
    HWND handle = reinterpret_cast<HWND>(1);
    EXPECT_EQ(S_OK, window->GetWindow(&handle)) << "IOleWindow answered with another vtable";
    window.reset();
    object.reset();
    EXPECT_EQ(1, g_destroyed);
    EXPECT_EQ(locks, base::g_moduleLockCount) << "the last Release did not give the module lock back";
}

TEST(ClassFactory, RefusesAggregationAndUnknownInterfacesAndLocksTheModule) {
    const long locks = base::g_moduleLockCount;
    g_destroyed = 0;
    base::ComPtr<IUnknown> outer;
    ASSERT_EQ(S_OK, g_factory.CreateInstance(nullptr, IID_IUnknown, outer.put_void()));
    void* object = reinterpret_cast<void*>(static_cast<uintptr_t>(0xdeadbeef));
    EXPECT_EQ(CLASS_E_NOAGGREGATION, g_factory.CreateInstance(outer.get(), IID_IUnknown, &object));
    EXPECT_EQ(nullptr, object);
    object = reinterpret_cast<void*>(static_cast<uintptr_t>(0xdeadbeef));
    EXPECT_EQ(E_NOINTERFACE, g_factory.CreateInstance(nullptr, IID_IClassFactory, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(1, g_destroyed) << "the object that does not answer was not destroyed";
    outer.reset();

    base::ComPtr<IClassFactory> held;
    ASSERT_EQ(S_OK, g_factory.QueryInterface(IID_IClassFactory, held.put_void()));
    EXPECT_EQ(S_OK, held->LockServer(TRUE));
    EXPECT_EQ(locks + 2, base::g_moduleLockCount) << "a held class object and a lock";
    EXPECT_EQ(S_OK, held->LockServer(FALSE));
    held.reset();
    EXPECT_EQ(locks, base::g_moduleLockCount);
}

}  // namespace
