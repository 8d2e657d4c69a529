// Owner of a mutex acquired by a wait: releases it exactly once. The mutex handle
// itself stays with its own UniqueHandle, which must outlive this owner.
#pragma once

#include <windows.h>

#include "base/unique_resource.h"

namespace base {

using UniqueMutexOwnership = UniqueResource<NullTraits<HANDLE, ::ReleaseMutex>>;

// Waits for the mutex; the owner is empty unless the wait made this thread its owner.
// An abandoned mutex is owned too: its last owner died, and the caller takes over.
[[nodiscard]] inline UniqueMutexOwnership AcquireMutex(HANDLE mutex, DWORD timeoutMs) noexcept {
    const DWORD result = ::WaitForSingleObject(mutex, timeoutMs);
    return UniqueMutexOwnership(result == WAIT_OBJECT_0 || result == WAIT_ABANDONED ? mutex : nullptr);
}

}  // namespace base
