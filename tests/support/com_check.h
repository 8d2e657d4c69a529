// Checks of a COM object's IUnknown shared by the tests: its reference count and the
// interfaces it answers.
#pragma once

#include <objbase.h>

#include <vector>

namespace testsupport {

// The references `object` holds now (an AddRef and a Release, so it stays as it was).
[[nodiscard]] ULONG ReferenceCount(IUnknown* object);

// Expects `object` to answer IUnknown and each of `answered` with a reference of its
// own (IUnknown with the same pointer whichever interface asks), and to refuse each of
// `refused` and IClassFactory, IPersist and IMarshal with E_NOINTERFACE and a null
// out-parameter; its count is as before afterwards.
void ExpectInterfaces(IUnknown* object, const std::vector<const IID*>& answered,
                      const std::vector<const IID*>& refused = {});

}  // namespace testsupport
