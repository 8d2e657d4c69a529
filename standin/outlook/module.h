// What keeps the object model module loaded: live objects and class factory locks.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace standin::outlook {

inline std::atomic<long> g_moduleReferences{0};

// Holds the module for its owner's lifetime.
class ModuleReference {
public:
    ModuleReference() noexcept { ++g_moduleReferences; }
    ~ModuleReference() { --g_moduleReferences; }
    ModuleReference(const ModuleReference&) = delete;
    ModuleReference& operator=(const ModuleReference&) = delete;
};

// Outlook's object model lives in one single-threaded apartment: COM carries the
// calls of other threads to it one at a time, and Outlook may refuse one while it
// is busy ("IMessageFilter::HandleInComingCall": SERVERCALL_REJECTED fails the
// caller's call with RPC_E_CALL_REJECTED). Every member call of the process takes
// this gate; the add-in's pointers stay direct, so MAPIOBJECT's message is used
// free-threaded as Outlook hands it out.
class CallGate {
public:
    // Refuses call number `call` from now on (0: none), as the profile asks.
    static void RefuseCall(uint32_t call) noexcept {
        const std::lock_guard lock(mutex_);
        refused_ = call;
        calls_ = 0;
    }

    // Holds the gate for one call; refused() when Outlook is busy for it.
    CallGate() : lock_(mutex_) { refused_now_ = refused_ != 0 && ++calls_ == refused_; }
    [[nodiscard]] bool refused() const noexcept { return refused_now_; }

private:
    static inline std::recursive_mutex mutex_;
    static inline uint32_t refused_ = 0;
    static inline uint32_t calls_ = 0;
    std::lock_guard<std::recursive_mutex> lock_;
    bool refused_now_ = false;
};

}  // namespace standin::outlook
