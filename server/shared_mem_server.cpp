#include "server/shared_mem_server.h"

#include <algorithm>
#include <new>

#include "base/boundary.h"
#include "base/com.h"

namespace {

constexpr DWORD kAcceptThreadStackSize = 0x20000;  // 128 KiB
constexpr DWORD kWorkerThreadStackSize = 0x80000;  // 512 KiB
constexpr DWORD kThreadsLockSpinCount = 4000;
constexpr uint32_t kEventQueryState = 0x0001;  // EVENT_QUERY_STATE; missing from mingw's headers
// Every event right but DELETE, for Everyone: other processes may set and watch it.
constexpr uint32_t kStopEventAccess =
    SYNCHRONIZE | WRITE_OWNER | WRITE_DAC | READ_CONTROL | EVENT_MODIFY_STATE | kEventQueryState;
static_assert(kStopEventAccess == 0x1E0003);

// Handed from the accept thread to a new worker, which frees it as its first act.
struct WorkerStart {
    SharedMemServer* server;
    std::unique_ptr<TunnelConnection> connection;
    HANDLE thread = nullptr;
};

// A null or INVALID_HANDLE_VALUE thread handle means CreateThread failed.
bool IsThreadHandle(HANDLE thread) noexcept { return thread != nullptr && thread != INVALID_HANDLE_VALUE; }

// What is left of a timeout that started at `start`; INFINITE stays INFINITE.
DWORD RemainingMs(DWORD start, uint32_t timeoutMs) noexcept {
    if (timeoutMs == INFINITE) return INFINITE;
    const DWORD elapsed = GetTickCount() - start;
    return elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
}

// Waits for every thread against one deadline; whatever still runs then is ended. The
// caller may be Outlook's main thread (OnDisconnection), which owns the object model: a
// worker inside an object-model call waits for that very thread, so the wait serves
// those calls while it lasts (base::WaitServingCalls).
void EndThreads(const std::vector<base::UniqueHandle>& threads, uint32_t timeoutMs) {
    const DWORD start = GetTickCount();
    bool allEnded = true;
    for (const base::UniqueHandle& thread : threads)
        if (base::WaitServingCalls(thread.get(), RemainingMs(start, timeoutMs)) != WAIT_OBJECT_0)
            allEnded = false;
    if (allEnded) return;
    for (const base::UniqueHandle& thread : threads)
        if (WaitForSingleObject(thread.get(), 0) != WAIT_OBJECT_0) TerminateThread(thread.get(), 0);
}

}  // namespace

SharedMemServer::~SharedMemServer() { Stop(INFINITE); }

HRESULT SharedMemServer::Start(const wchar_t* name, uint32_t mode, uint32_t timeoutMs) {
    // Running (a host that connects twice): new fields would change names and the
    // lock under the live threads, so the server goes on as it was started.
    if (stopEvent_) return S_OK;
    mode_ = mode;
    timeoutMs_ = timeoutMs;
    if (!base::Completes([&] {
            name_ = name ? name : L"";
            tunnelName_ = GetTunnelName();
        })) {
        return E_FAIL;
    }

    auto lock = std::unique_ptr<base::CriticalSection>(new (std::nothrow) base::CriticalSection);
    if (!lock || !lock->Initialize(kThreadsLockSpinCount)) {
        Stop(INFINITE);
        return E_FAIL;
    }
    threadsLock_ = std::move(lock);

    if (mode_ == wire::kServerModeNoTunnel) {
        stopEvent_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (stopEvent_) return S_OK;
    } else if (SUCCEEDED(CreateStopEvent()) && StartThread(kAcceptThreadStackSize, AcceptThread, this)) {
        return S_OK;
    }
    Stop(INFINITE);
    return E_FAIL;
}

HRESULT SharedMemServer::CreateStopEvent() {
    TunnelSecurity security;
    if (TunnelBuildSecurity(kStopEventAccess, &security, false) != 0) return E_FAIL;
    std::wstring eventName;
    if (!base::Completes([&] { eventName = GetStopEventName(); })) {
        return E_FAIL;
    }
    stopEvent_.reset(CreateEventW(&security.attributes, TRUE, FALSE, eventName.c_str()));
    TunnelFreeSecurity(&security);
    return stopEvent_ ? S_OK : E_FAIL;
}

uint32_t SharedMemServer::Stop(uint32_t timeoutMs) {
    if (stopEvent_) SetEvent(stopEvent_.get());
    // Workers may still register while earlier ones are waited for: repeat until
    // a snapshot comes back empty. The snapshot's owners close the handles.
    for (auto threads = TakeThreads(); !threads.empty(); threads = TakeThreads())
        EndThreads(threads, timeoutMs);
    stopEvent_.reset();
    threadsLock_.reset();
    return 0;
}

std::optional<base::ScopedLock> SharedMemServer::LockThreads() {
    if (!threadsLock_) return std::nullopt;
    return std::optional<base::ScopedLock>(std::in_place, *threadsLock_);
}

std::vector<base::UniqueHandle> SharedMemServer::TakeThreads() {
    const auto guard = LockThreads();
    return std::exchange(threads_, {});
}

std::wstring SharedMemServer::GetTunnelName() const { return wire::TunnelName(name_, mode_); }

std::wstring SharedMemServer::GetStopEventName() const { return wire::StopEventName(name_, mode_); }

void SharedMemServer::RemoveThread(HANDLE thread) {
    base::UniqueHandle removed;  // closed once the lock is left
    const auto guard = LockThreads();
    const auto listed = [thread](const base::UniqueHandle& h) { return h.get() == thread; };
    if (std::none_of(threads_.begin(), threads_.end(), listed)) return;  // Stop took it
    for (base::UniqueHandle& h : threads_)
        if (listed(h)) (void)h.release();
    std::erase_if(threads_, [](const base::UniqueHandle& h) { return !h; });
    if (IsThreadHandle(thread)) removed.reset(thread);
}

bool SharedMemServer::IsStopping() const noexcept {
    return !stopEvent_ || WaitForSingleObject(stopEvent_.get(), 0) == WAIT_OBJECT_0;
}

size_t SharedMemServer::ThreadCount() {
    const auto guard = LockThreads();
    return threads_.size();
}

HANDLE SharedMemServer::CreateSuspendedThread(DWORD stackSize, LPTHREAD_START_ROUTINE routine,
                                              void* argument) noexcept {
    return CreateThread(nullptr, stackSize, routine, argument, CREATE_SUSPENDED, nullptr);
}

bool SharedMemServer::StartThread(DWORD stackSize, LPTHREAD_START_ROUTINE routine, void* argument,
                                  HANDLE* handleForThread) {
    const HANDLE created = createThread_(stackSize, routine, argument);
    if (!IsThreadHandle(created)) return false;
    base::UniqueHandle thread(created);
    if (handleForThread) *handleForThread = created;
    // Listed and resumed under one hold of the lock: Stop sees the thread only once
    // it runs, or not at all.
    const auto guard = LockThreads();
    if (!base::Completes([&] { threads_.reserve(threads_.size() + 1); })) {
        TerminateThread(created, 0);  // never ran: nothing of it to unwind
        return false;
    }
    if (ResumeThread(created) == static_cast<DWORD>(-1)) {
        TerminateThread(created, 0);
        return false;
    }
    threads_.push_back(std::move(thread));
    return true;
}

bool SharedMemServer::OnClientConnected(std::unique_ptr<TunnelConnection>& connection) {
    if (!connection) return false;
    auto start = std::unique_ptr<WorkerStart>(new (std::nothrow) WorkerStart{this, nullptr});
    if (!start) return false;
    start->connection = std::move(connection);
    if (!StartThread(kWorkerThreadStackSize, WorkerThread, start.get(), &start->thread)) {
        connection = std::move(start->connection);
        return false;
    }
    (void)start.release();  // the running worker frees it
    return true;
}

DWORD WINAPI SharedMemServer::AcceptThread(void* argument) noexcept {
    auto* server = static_cast<SharedMemServer*>(argument);
    for (;;) {
        std::unique_ptr<TunnelConnection> connection;
        // Fails only when the stop event is set, given no time limit.
        if (!TunnelAccept(server->tunnelName_.c_str(), &connection, server->mode_, server->stopEvent_.get(),
                          INFINITE, wire::kChannelMappingSize, wire::kHandshakeTimeoutMs))
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
    uint32_t marker = 0;
    while (!IsStopping() && TunnelReceiveDword(connection, &marker, markerTimeoutMs_, stopEvent_.get()) &&
           marker == wire::kRequestMarker)
        Dispatch(connection);
}
