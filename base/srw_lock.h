// A slim reader/writer lock and its scoped holds, shared and exclusive. The lock needs
// no clean-up: SRWLOCK_INIT is all its set-up, and nothing is freed with it.
#pragma once

#include <windows.h>

namespace base {

class SrwLock {
public:
    constexpr SrwLock() noexcept = default;
    SrwLock(const SrwLock&) = delete;
    SrwLock& operator=(const SrwLock&) = delete;

    void AcquireShared() noexcept { ::AcquireSRWLockShared(&lock_); }
    void ReleaseShared() noexcept { ::ReleaseSRWLockShared(&lock_); }
    void AcquireExclusive() noexcept { ::AcquireSRWLockExclusive(&lock_); }
    void ReleaseExclusive() noexcept { ::ReleaseSRWLockExclusive(&lock_); }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

// Holds `lock` from construction to destruction: shared when `Exclusive` is false.
template <bool Exclusive>
class ScopedSrwLock {
public:
    explicit ScopedSrwLock(SrwLock& lock) noexcept : lock_(lock) {
        if constexpr (Exclusive)
            lock_.AcquireExclusive();
        else
            lock_.AcquireShared();
    }
    ScopedSrwLock(const ScopedSrwLock&) = delete;
    ScopedSrwLock& operator=(const ScopedSrwLock&) = delete;
    ~ScopedSrwLock() {
        if constexpr (Exclusive)
            lock_.ReleaseExclusive();
        else
            lock_.ReleaseShared();
    }

private:
    SrwLock& lock_;
};

using ScopedSharedLock = ScopedSrwLock<false>;
using ScopedExclusiveLock = ScopedSrwLock<true>;

}  // namespace base
