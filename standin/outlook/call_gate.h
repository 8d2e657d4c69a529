// The gate every member call of the object model passes.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "base/critical_section.h"

namespace standin::outlook {

// Outlook's object model lives in one single-threaded apartment: COM carries the
// calls of other threads to it one at a time, and Outlook may refuse one while it
// is busy ("IMessageFilter::HandleInComingCall": SERVERCALL_REJECTED fails the
// caller's call with RPC_E_CALL_REJECTED). Every member call takes this gate, which
// counts them; the calls are the main thread's, or a test's own.
class CallGate {
public:
    // The member calls and name lookups served since the module loaded, refused ones among
    // them: what a caller costs the main thread (host_api.h, OutlookStandinGetCallCounts).
    static uint64_t invoked() noexcept { return invoked_.load(std::memory_order_relaxed); }
    static uint64_t namesLookedUp() noexcept { return namesLookedUp_.load(std::memory_order_relaxed); }
    static void CountNameLookup() noexcept { namesLookedUp_.fetch_add(1, std::memory_order_relaxed); }

    // Refuses call number `call` from now on (0: none), as the profile asks.
    static void RefuseCall(uint32_t call) noexcept {
        const base::ScopedLock lock(Section());
        refused_ = call;
        calls_ = 0;
    }

    // Holds the gate for one call; refused() when Outlook is busy for it.
    CallGate() noexcept : lock_(Section()) {
        invoked_.fetch_add(1, std::memory_order_relaxed);
        refusedNow_ = refused_ != 0 && ++calls_ == refused_;
    }
    [[nodiscard]] bool refused() const noexcept { return refusedNow_; }

private:
    // Recursive, so a member that calls another on its thread goes on.
    static base::CriticalSection& Section() noexcept {
        static base::CriticalSection section;
        static const bool initialized = section.Initialize(0);  // cannot fail since Windows Vista
        (void)initialized;
        return section;
    }

    static inline uint32_t refused_ = 0;
    static inline uint32_t calls_ = 0;
    static inline std::atomic<uint64_t> invoked_{0};
    static inline std::atomic<uint64_t> namesLookedUp_{0};
    base::ScopedLock lock_;
    bool refusedNow_ = false;
};

}  // namespace standin::outlook
