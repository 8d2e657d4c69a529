// The one COM object base: counts, interface table, module lock, class object.
#include <gtest/gtest.h>

#include "base/com.h"
#include "base/com_object.h"
#include "tests/support/com_check.h"

namespace {

int g_destroyed = 0;

// Two interfaces with vtables of their own, as the add-in's connection object has.
class TwoFaced final : public base::ComObject<IPersistStream, IRunnableObject> {
public:
    ~TwoFaced() override { ++g_destroyed; }

    STDMETHODIMP GetClassID(CLSID*) noexcept override { return E_NOTIMPL; }
    STDMETHODIMP IsDirty() noexcept override { return S_FALSE; }
    STDMETHODIMP Load(IStream*) noexcept override { return E_NOTIMPL; }
    STDMETHODIMP Save(IStream*, BOOL) noexcept override { return E_NOTIMPL; }
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER*) noexcept override { return E_NOTIMPL; }
    STDMETHODIMP GetRunningClass(CLSID*) noexcept override { return E_NOTIMPL; }
    STDMETHODIMP Run(IBindCtx*) noexcept override { return S_OK; }
    BOOL STDMETHODCALLTYPE IsRunning() noexcept override { return TRUE; }
    STDMETHODIMP LockRunning(BOOL, BOOL) noexcept override { return S_OK; }
    STDMETHODIMP SetContainedObject(BOOL) noexcept override { return S_OK; }

private:
    [[nodiscard]] std::span<const InterfaceEntry> Table() const noexcept override {
        static constexpr InterfaceEntry kInterfaces[] = {
            {&IID_IPersistStream}, Answer<IRunnableObject>(IID_IRunnableObject)};
        return kInterfaces;
    }
};

base::ClassFactory<&base::CreateNew<TwoFaced>> g_factory;

TEST(ComObject, AnswersItsTableCountsAndHoldsTheModule) {
    const long locks = base::g_moduleLockCount;
    g_destroyed = 0;
    base::ComPtr<IUnknown> object;
    ASSERT_EQ(S_OK, g_factory.CreateInstance(nullptr, IID_IRunnableObject, object.put_void()));
    EXPECT_EQ(locks + 1, base::g_moduleLockCount);
    testsupport::ExpectInterfaces(object.get(), {&IID_IPersistStream, &IID_IRunnableObject}, {&IID_IPersistFile});
    EXPECT_EQ(1u, testsupport::ReferenceCount(object.get()));

    base::ComPtr<IRunnableObject> runnable;
    ASSERT_EQ(S_OK, object.As(runnable));
    EXPECT_EQ(TRUE, runnable->IsRunning()) << "IRunnableObject answered with another vtable";
    runnable.reset();
    object.reset();
    EXPECT_EQ(1, g_destroyed);
    EXPECT_EQ(locks, base::g_moduleLockCount) << "the last Release did not give the module lock back";
}

TEST(ClassFactory, RefusesAggregationAndUnknownInterfacesAndLocksTheModule) {
    const long locks = base::g_moduleLockCount;
    g_destroyed = 0;
    base::ComPtr<IUnknown> outer;
    ASSERT_EQ(S_OK, g_factory.CreateInstance(nullptr, IID_IUnknown, outer.put_void()));
    const struct {
        IUnknown* outer;
        const IID* iid;
        HRESULT expected;
    } cases[] = {
        {outer.get(), &IID_IUnknown, CLASS_E_NOAGGREGATION},
        {nullptr, &IID_IClassFactory, E_NOINTERFACE},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        void* object = reinterpret_cast<void*>(static_cast<uintptr_t>(0xdeadbeef));
        const HRESULT hr = g_factory.CreateInstance(cases[i].outer, *cases[i].iid, &object);
        EXPECT_EQ(cases[i].expected, hr) << "case " << i << ": got 0x" << std::hex << hr;
        EXPECT_EQ(nullptr, object) << "case " << i;
    }
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
