// A critical section owned from initialisation to deletion, and its scoped lock.
#pragma once

#include <windows.h>

namespace base {

class CriticalSection {
public:
    CriticalSection() noexcept = default;
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    ~CriticalSection() { Delete(); }

    // False (and nothing to delete) when the system refuses the spin count set-up.
    [[nodiscard]] bool Initialize(DWORD spinCount) noexcept {
        Delete();
        initialized_ = ::InitializeCriticalSectionAndSpinCount(&section_, spinCount) != FALSE;
        return initialized_;
    }
    void Delete() noexcept {
        if (initialized_) ::DeleteCriticalSection(&section_);
        initialized_ = false;
    }
    [[nodiscard]] bool initialized() const noexcept { return initialized_; }

    void Enter() noexcept { ::EnterCriticalSection(&section_); }
    void Leave() noexcept { ::LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_{};
    bool initialized_ = false;
};

class ScopedLock {
public:
    explicit ScopedLock(CriticalSection& section) noexcept : section_(section) { section_.Enter(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;
    ~ScopedLock() { section_.Leave(); }

private:
    CriticalSection& section_;
};

}  // namespace base
