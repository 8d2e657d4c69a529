// A generic message server on the shared-memory tunnel: one accept thread that
// hands out a private channel per arriving client, and one worker thread per
// client that reads marked requests and passes each to the derived Dispatch.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/critical_section.h"
#include "base/unique_resource.h"
#include "tunnel/tunnel.h"
#include "tunnel/wire.h"

// How long a worker waits for the next request before it drops an idle client.
inline constexpr uint32_t kRequestMarkerTimeoutMs = 125000;

class SharedMemServer {
public:
    SharedMemServer() noexcept = default;
    SharedMemServer(const SharedMemServer&) = delete;
    SharedMemServer& operator=(const SharedMemServer&) = delete;

    // The order of these virtual operations is part of the class's contract.
    virtual ~SharedMemServer();
    // Reads one request from the connection and serves it; on the worker thread.
    virtual void Dispatch(TunnelConnection* connection) = 0;
    // True would make a worker serve one unmarked request; false here.
    virtual bool IsSingleRequest();
    // S_OK, or E_FAIL when the lock, the stop event or the accept thread cannot be made
    // (and then nothing is left). A running server is left as it runs.
    [[nodiscard]] virtual HRESULT Start(const wchar_t* name, uint32_t mode, uint32_t timeoutMs);
    virtual uint32_t SignalStop();
    // Ends every server thread (waiting up to timeoutMs, INFINITE in the program),
    // then closes the stop event and deletes the lock. Does nothing when stopped.
    virtual uint32_t Stop(uint32_t timeoutMs);
    // Forgets every field without closing or freeing anything.
    virtual void ResetState();
    virtual std::wstring GetNamespacePrefix();
    virtual std::wstring GetTunnelName();
    virtual std::wstring GetStopEventName();
    // The timeout of every transfer a request makes.
    virtual uint32_t GetRequestTimeout();
    virtual void AddThread(HANDLE thread);
    virtual void RemoveThread(HANDLE thread);
    virtual bool IsStopping();
    // Starts a worker for the connection and takes it; false leaves it with the caller.
    virtual bool OnClientConnected(std::unique_ptr<TunnelConnection>& connection);

    // Creates a server thread suspended; null or INVALID_HANDLE_VALUE when it cannot.
    using ThreadCreator = HANDLE (*)(DWORD stackSize, LPTHREAD_START_ROUTINE routine, void* argument);

    // Test seam: the idle limit of a worker waiting for a request marker.
    void SetMarkerTimeout(uint32_t timeoutMs) noexcept { markerTimeoutMs_ = timeoutMs; }
    // Test seam: how the accept thread and the workers are created.
    void SetThreadCreator(ThreadCreator create) noexcept { createThread_ = create; }
    // Test seam: how many server threads are listed right now.
    [[nodiscard]] size_t ThreadCount();
    [[nodiscard]] HANDLE stopEvent() const noexcept { return stopEvent_.get(); }
    [[nodiscard]] bool holdsLock() const noexcept { return threadsLock_ != nullptr; }

private:
    static HANDLE CreateSuspendedThread(DWORD stackSize, LPTHREAD_START_ROUTINE routine,
                                        void* argument) noexcept;
    static DWORD WINAPI AcceptThread(void* server) noexcept;
    static DWORD WINAPI WorkerThread(void* start) noexcept;
    void ServeConnection(TunnelConnection* connection);
    [[nodiscard]] HRESULT CreateStopEvent();
    // The thread list's lock, or none while there is no lock.
    [[nodiscard]] std::optional<base::ScopedLock> LockThreads();
    [[nodiscard]] std::vector<base::UniqueHandle> TakeThreads();
    // Creates a thread suspended (its handle stored where given), lists it, then lets
    // it run; false leaves nothing of it and the argument with the caller.
    [[nodiscard]] bool StartThread(DWORD stackSize, LPTHREAD_START_ROUTINE routine, void* argument,
                                   HANDLE* handleForThread = nullptr);

    std::wstring name_;
    std::wstring tunnelName_;  // built by Start, read by the accept thread
    uint32_t mode_ = wire::kServerModeLocal;
    uint32_t timeoutMs_ = 0;
    base::UniqueHandle stopEvent_;
    std::vector<base::UniqueHandle> threads_;             // whoever takes one out closes it
    std::unique_ptr<base::CriticalSection> threadsLock_;  // null: no lock taken
    uint32_t markerTimeoutMs_ = kRequestMarkerTimeoutMs;
    ThreadCreator createThread_ = CreateSuspendedThread;
};
