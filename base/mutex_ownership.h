// Owner of a mutex acquired by a wait: releases it exactly once. The mutex handle
// itself stays with its own UniqueHandle, which must outlive this owner.
#pragma once

#include <windows.h>

#include "base/unique_resource.h"

namespace base {

struct MutexOwnershipTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type mutex) noexcept { ::ReleaseMutex(mutex); }
};

using UniqueMutexOwnership = UniqueResource<MutexOwnershipTraits>;

}  // namespace base
