#include "server/shared_mem_server.h"

#include <algorithm>
#include <new>
#include <optional>

namespace {

constexpr DWORD kAcceptThreadStackSize = 0x20000;  // 128 KiB
constexpr DWORD kWorkerThreadStackSize = 0x80000;  // 512 KiB
constexpr DWORD kThreadsLockSpinCount = 4000;
constexpr uint32_t kChannelMappingSize = 0x10000;
constexpr uint32_t kHandshakeTimeoutMs = 5000;
constexpr uint32_t kEventQueryState = 0x0001;  // EVENT_QUERY_STATE; missing from mingw's headers
// Every event right but DELETE, for Everyone: other processes may set and watch it.
constexpr uint32_t kStopEventAccess = SYNCHRONIZE | WRITE_OWNER | WRITE_DAC | READ_CONTROL |
                                      EVENT_MODIFY_STATE | kEventQueryState;
static_assert(kStopEventAccess == 0x1E0003);

// Handed from the accept thread to a new worker, which frees it as its first act.
struct WorkerStart {
    SharedMemServer* server;
    std::unique_ptr<TunnelConnection> connection;
    HANDLE thread = nullptr;
};

// A null or INVALID_HANDLE_VALUE thread handle means CreateThread failed.
bool IsThreadHandle(HANDLE thread) noexcept {
    return thread != nullptr && thread != INVALID_HANDLE_VALUE;
}

// A running thread's handle, or nullptr.
HANDLE CreateSuspendedThread(DWORD stackSize, LPTHREAD_START_ROUTINE routine, void* argument) {
    HANDLE thread = CreateThread(nullptr, stackSize, routine, argument, CREATE_SUSPENDED, nullptr);
    return IsThreadHandle(thread) ? thread : nullptr;
}

// Waits for all threads, in groups of the most one wait can cover. True when all
// ended within the timeout, measured from the first wait.
bool WaitForAllThreads(const std::vector<HANDLE>& threads, uint32_t timeoutMs) {
    const DWORD start = GetTickCount();
    for (size_t first = 0; first < threads.size(); first += MAXIMUM_WAIT_OBJECTS) {
        const DWORD count =
            static_cast<DWORD>(std::min<size_t>(MAXIMUM_WAIT_OBJECTS, threads.size() - first));
        DWORD remaining = INFINITE;
        if (timeoutMs != INFINITE) {
            const DWORD elapsed = GetTickCount() - start;
            remaining = elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
        }
        if (WaitForMultipleObjects(count, threads.data() + first, TRUE, remaining) !=
            WAIT_OBJECT_0)
            return false;
    }
    return true;
}

}  // namespace

SharedMemServer::~SharedMemServer() { Stop(INFINITE); }

bool SharedMemServer::IsSingleRequest() { return false; }

HRESULT SharedMemServer::Start(const wchar_t* name, uint32_t mode, uint32_t timeoutMs) {
    try {
        name_ = name ? name : L"";
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    mode_ = mode;
    timeoutMs_ = timeoutMs;

    auto lock = std::unique_ptr<base::CriticalSection>(new (std::nothrow) base::CriticalSection);
    if (!lock || !lock->Initialize(kThreadsLockSpinCount)) {
        Stop(INFINITE);
        return E_FAIL;
    }
    threadsLock_ = std::move(lock);

    if (mode_ == kServerModeNoTunnel) {
        stopEvent_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        return stopEvent_ ? S_OK : E_FAIL;
    }
    if (FAILED(CreateStopEvent())) return E_FAIL;

    HANDLE accept = CreateSuspendedThread(kAcceptThreadStackSize, AcceptThread, this);
    if (!accept) {
        Stop(INFINITE);
        return E_FAIL;
    }
    if (!StartListedThread(accept)) {
        Stop(INFINITE);
        return E_FAIL;
    }
    return S_OK;
}

HRESULT SharedMemServer::CreateStopEvent() {
    TunnelSecurity security;
    if (TunnelBuildSecurity(kStopEventAccess, &security, false) != 0) return E_FAIL;
    std::wstring eventName;
    try {
        eventName = GetStopEventName();
    } catch (const std::bad_alloc&) {
        return E_FAIL;
    }
    stopEvent_.reset(CreateEventW(&security.attributes, TRUE, FALSE, eventName.c_str()));
    TunnelFreeSecurity(&security);
    return stopEvent_ ? S_OK : E_FAIL;
}

uint32_t SharedMemServer::SignalStop() {
    if (stopEvent_) SetEvent(stopEvent_.get());
    return 0;
}

uint32_t SharedMemServer::Stop(uint32_t timeoutMs) {
    SignalStop();
    // Workers may still register while earlier ones are waited for: repeat until
    // a snapshot comes back empty.
    for (std::vector<HANDLE> threads = TakeThreads(); !threads.empty(); threads = TakeThreads()) {
        if (!WaitForAllThreads(threads, timeoutMs)) {
            for (HANDLE thread : threads) {
                if (WaitForSingleObject(thread, 0) != WAIT_OBJECT_0) TerminateThread(thread, 0);
            }
        }
        for (HANDLE thread : threads) base::UniqueHandle owned(thread);
    }
    stopEvent_.reset();
    threadsLock_.reset();
    return 0;
}

std::vector<HANDLE> SharedMemServer::TakeThreads() {
    std::optional<base::ScopedLock> guard;
    if (threadsLock_) guard.emplace(*threadsLock_);
    return std::exchange(threads_, {});
}

void SharedMemServer::ResetState() {
    // Forgets without closing: for an object whose resources went elsewhere.
    name_.clear();
    mode_ = kServerModeLocal;
    timeoutMs_ = 0;
    (void)stopEvent_.release();
    threads_.clear();
    (void)threadsLock_.release();
}

std::wstring SharedMemServer::GetNamespacePrefix() {
    return mode_ == kServerModeGlobal || mode_ == kServerModeGlobalLowLabel ? L"Global\\"
                                                                            : L"Local\\";
}

std::wstring SharedMemServer::GetTunnelName() {
    return GetNamespacePrefix() + L"Kestrava." + name_ + L".Tunnel";
}

std::wstring SharedMemServer::GetStopEventName() {
    return GetNamespacePrefix() + L"Kestrava." + name_ + L".Event";
}

uint32_t SharedMemServer::GetRequestTimeout() { return timeoutMs_; }

void SharedMemServer::AddThread(HANDLE thread) { (void)TryAddThread(thread); }

bool SharedMemServer::TryAddThread(HANDLE thread) {
    std::optional<base::ScopedLock> guard;
    if (threadsLock_) guard.emplace(*threadsLock_);
    try {
        threads_.push_back(thread);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void SharedMemServer::RemoveThread(HANDLE thread) {
    std::optional<base::ScopedLock> guard;
    if (threadsLock_) guard.emplace(*threadsLock_);
    const auto listed = std::remove(threads_.begin(), threads_.end(), thread);
    if (listed == threads_.end()) return;  // Stop took it and closes it
    threads_.erase(listed, threads_.end());
    if (IsThreadHandle(thread)) CloseHandle(thread);
}

bool SharedMemServer::IsStopping() {
    return !stopEvent_ || WaitForSingleObject(stopEvent_.get(), 0) == WAIT_OBJECT_0;
}

size_t SharedMemServer::ThreadCount() {
    std::optional<base::ScopedLock> guard;
    if (threadsLock_) guard.emplace(*threadsLock_);
    return threads_.size();
}

bool SharedMemServer::StartListedThread(HANDLE thread) {
    if (!TryAddThread(thread)) {
        // Never ran: nothing of it to unwind.
        TerminateThread(thread, 0);
        base::UniqueHandle owned(thread);
        return false;
    }
    ResumeThread(thread);
    return true;
}

bool SharedMemServer::OnClientConnected(std::unique_ptr<TunnelConnection>& connection) {
    if (!connection) return false;
    auto start = std::unique_ptr<WorkerStart>(new (std::nothrow) WorkerStart{this, nullptr});
    if (!start) return false;
    start->connection = std::move(connection);
    HANDLE worker = CreateSuspendedThread(kWorkerThreadStackSize, WorkerThread, start.get());
    if (!worker) {
        connection = std::move(start->connection);
        return false;
    }
    start->thread = worker;
    if (!StartListedThread(worker)) {
        connection = std::move(start->connection);
        return false;
    }
    (void)start.release();  // the running worker frees it
    return true;
}

DWORD WINAPI SharedMemServer::AcceptThread(void* argument) noexcept {
    auto* server = static_cast<SharedMemServer*>(argument);
    std::wstring tunnelName;
    try {
        tunnelName = server->GetTunnelName();
    } catch (const std::bad_alloc&) {
        return 0;
    }
    for (;;) {
        std::unique_ptr<TunnelConnection> connection;
        // Fails only when the stop event is set, given no time limit.
        if (!TunnelAccept(tunnelName.c_str(), &connection, server->mode_, server->stopEvent_.get(),
                          INFINITE, kChannelMappingSize, kHandshakeTimeoutMs))
            break;
        // A worker that cannot start costs only this connection, closed on scope exit.
        (void)server->OnClientConnected(connection);
    }
    return 0;
}

DWORD WINAPI SharedMemServer::WorkerThread(void* argument) noexcept {
    std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(argument));
    SharedMemServer* server = start->server;
    std::unique_ptr<TunnelConnection> connection = std::move(start->connection);
    HANDLE self = start->thread;
    start.reset();

    server->ServeConnection(connection.get());
    connection.reset();
    server->RemoveThread(self);
    return 0;
}

void SharedMemServer::ServeConnection(TunnelConnection* connection) {
    const bool singleRequest = IsSingleRequest();
    do {
        if (IsStopping()) return;
        if (!singleRequest) {
            uint32_t marker = 0;
            if (!TunnelReceiveDword(connection, &marker, markerTimeoutMs_, stopEvent_.get()) ||
                marker != kRequestMarker)
                return;
        }
        Dispatch(connection);
    } while (!singleRequest);
}
