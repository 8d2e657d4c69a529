// A generic message server on the shared-memory tunnel: one accept thread that
// hands out a private channel per arriving client, and one worker thread per
// client that reads marked requests and runs each code's operation from a table.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/critical_section.h"
#include "base/unique_resource.h"
#include "tunnel/tunnel.h"
#include "tunnel/wire.h"

// How long a worker waits for the next request before it drops an idle client.
inline constexpr uint32_t kRequestMarkerTimeoutMs = 125000;

// A request operation: reads its payload from the connection and sends its reply, every
// transfer with timeoutMs and no abort event; false at the first failed transfer (the
// tunnel has closed the connection then). On the worker thread of the connection.
using RequestOperation = bool (*)(TunnelConnection* connection, uint32_t timeoutMs) noexcept;

// The operation of one request code, and whether the dispatch logs the request's start
// and finish.
struct RequestRoute {
    wire::RequestCode code;
    RequestOperation operation;
    bool logged;
};

class SharedMemServer {
public:
    // Serves the codes of `routes`, which lists them in order from 0 and outlives the
    // server; any other code is logged and otherwise ignored.
    explicit SharedMemServer(std::span<const RequestRoute> routes) noexcept : routes_(routes) {}
    SharedMemServer(const SharedMemServer&) = delete;
    SharedMemServer& operator=(const SharedMemServer&) = delete;
    ~SharedMemServer();  // Stop(INFINITE)

    // S_OK, or E_FAIL when the lock, the stop event or the accept thread cannot be made
    // (and then nothing is left). A running server is left as it runs.
    [[nodiscard]] HRESULT Start(const wchar_t* name, uint32_t mode, uint32_t timeoutMs);
    // Ends every server thread (waiting up to timeoutMs, INFINITE in the program),
    // then closes the stop event and deletes the lock. Does nothing when stopped.
    uint32_t Stop(uint32_t timeoutMs);
    [[nodiscard]] std::wstring GetTunnelName() const;
    [[nodiscard]] std::wstring GetStopEventName() const;
    // The timeout of every transfer a request makes.
    [[nodiscard]] uint32_t GetRequestTimeout() const noexcept { return timeoutMs_; }
    // True when there is no stop event, or it is set.
    [[nodiscard]] bool IsStopping() const noexcept;

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
    // Reads the request code and runs its operation, between the dispatch log lines.
    void Dispatch(TunnelConnection* connection);
    // Starts a worker for the connection and takes it; false leaves it with the caller.
    [[nodiscard]] bool OnClientConnected(std::unique_ptr<TunnelConnection>& connection);
    // Takes the handle out of the list and closes it, unless Stop took it first.
    void RemoveThread(HANDLE thread);
    [[nodiscard]] HRESULT CreateStopEvent();
    // The thread list's lock, or none while there is no lock.
    [[nodiscard]] std::optional<base::ScopedLock> LockThreads();
    [[nodiscard]] std::vector<base::UniqueHandle> TakeThreads();
    // Creates a thread suspended (its handle stored where given), lists it, then lets
    // it run; false leaves nothing of it and the argument with the caller.
    [[nodiscard]] bool StartThread(DWORD stackSize, LPTHREAD_START_ROUTINE routine, void* argument,
                                   HANDLE* handleForThread = nullptr);

    const std::span<const RequestRoute> routes_;
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
