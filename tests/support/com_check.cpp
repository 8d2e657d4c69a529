#include "tests/support/com_check.h"

#include <gtest/gtest.h>

#include <vector>

namespace testsupport {

ULONG ReferenceCount(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

void ExpectInterfaces(IUnknown* object, const std::vector<const IID*>& answered,
                      const std::vector<const IID*>& refused) {
    const ULONG before = ReferenceCount(object);
    IUnknown* identity = nullptr;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
    EXPECT_EQ(before + 1, ReferenceCount(object)) << "QueryInterface(IID_IUnknown) took no reference";
    for (size_t i = 0; i < answered.size(); ++i) {
        IUnknown* found = nullptr;
        const HRESULT hr = object->QueryInterface(*answered[i], reinterpret_cast<void**>(&found));
        ASSERT_EQ(S_OK, hr) << "answered " << i << ": got 0x" << std::hex << hr;
        IUnknown* foundIdentity = nullptr;
        EXPECT_EQ(S_OK, found->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&foundIdentity)));
        EXPECT_EQ(identity, foundIdentity) << "answered " << i << ": another IUnknown";
        EXPECT_EQ(before + 3, ReferenceCount(object)) << "answered " << i;
        foundIdentity->Release();
        found->Release();
    }
    std::vector<const IID*> refusals(refused);
    refusals.insert(refusals.end(), {&IID_IClassFactory, &IID_IPersist, &IID_IMarshal});
    for (size_t i = 0; i < refusals.size(); ++i) {
        void* found = reinterpret_cast<void*>(static_cast<uintptr_t>(0xdeadbeef));
        const HRESULT hr = object->QueryInterface(*refusals[i], &found);
        EXPECT_EQ(E_NOINTERFACE, hr) << "refused " << i << ": got 0x" << std::hex << hr;
        EXPECT_EQ(nullptr, found) << "refused " << i;
    }
    identity->Release();
    EXPECT_EQ(before, ReferenceCount(object));
}

}  // namespace testsupport
