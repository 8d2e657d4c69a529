// Message sessions and OpenIMsgOnIStg: the entry points to message files.
#include "standin/msg/msg_file.h"
#include "standin/msg/objects.h"

#include <algorithm>
#include <new>

#include "base/boundary.h"

// The handle imessage.h leaves opaque: the caller's reference to a session.
struct _MSGSESS {
    std::shared_ptr<standin::msg::SessionState> state;
    bool unicode = false;  // MAPI_UNICODE: its messages keep Unicode strings
};

namespace standin::msg {
namespace {
constexpr DWORD kSpinCount = 4000;
}

bool SessionState::Initialize() noexcept { return lock_.Initialize(kSpinCount); }

bool SessionState::Add(Message* message) noexcept {
    base::ScopedLock lock(lock_);
    if (closed_) return false;
    if (!base::Completes([&] { open_.push_back(message); })) {
        return false;
    }
    return true;
}

void SessionState::Forget(Message* message) noexcept {
    base::ScopedLock lock(lock_);
    open_.erase(std::remove(open_.begin(), open_.end(), message), open_.end());
}

void SessionState::Close() noexcept {
    base::ScopedLock lock(lock_);
    closed_ = true;
    for (Message* message : open_) message->Detach();
    open_.clear();
}

}  // namespace standin::msg

extern "C" {

SCODE WINAPI OpenIMsgSession(LPMALLOC, ULONG ulFlags, LPMSGSESS* lppMsgSess) {
    if (!lppMsgSess) return MAPI_E_INVALID_PARAMETER;
    *lppMsgSess = nullptr;
    auto* session = new (std::nothrow) _MSGSESS;
    if (!session) return MAPI_E_NOT_ENOUGH_MEMORY;
    if (!base::Completes([&] { session->state = std::make_shared<standin::msg::SessionState>(); })) {
        delete session;
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    if (!session->state->Initialize()) {
        delete session;
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    session->unicode = (ulFlags & MAPI_UNICODE) != 0;
    *lppMsgSess = session;
    return S_OK;
}

// Messages still open lose their storage: they can be read but no longer saved.
void WINAPI CloseIMsgSession(LPMSGSESS lpMsgSess) {
    if (!lpMsgSess) return;
    lpMsgSess->state->Close();
    delete lpMsgSess;
}

SCODE WINAPI OpenIMsgOnIStg(LPMSGSESS lpMsgSess, LPALLOCATEBUFFER lpAllocateBuffer,
                            LPALLOCATEMORE lpAllocateMore, LPFREEBUFFER lpFreeBuffer, LPMALLOC, LPVOID,
                            LPSTORAGE lpStg, MSGCALLRELEASE* lpfMsgCallRelease, ULONG ulCallerData,
                            ULONG ulFlags, LPMESSAGE* lppMsg) {
    using namespace standin::msg;
    if (!lppMsg) return MAPI_E_INVALID_PARAMETER;
    *lppMsg = nullptr;
    if (!lpMsgSess || !lpStg || !lpAllocateBuffer || !lpAllocateMore || !lpFreeBuffer) {
        return MAPI_E_INVALID_PARAMETER;
    }
    std::shared_ptr<Tree> tree;
    if (!base::Completes([&] { tree = std::make_shared<Tree>(); })) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    tree->allocateBuffer = lpAllocateBuffer;
    tree->allocateMore = lpAllocateMore;
    tree->freeBuffer = lpFreeBuffer;
    // Either call's MAPI_UNICODE makes a Unicode message ("OpenIMsgSession", "OpenIMsgOnIStg").
    tree->unicode = lpMsgSess->unicode || (ulFlags & MAPI_UNICODE) != 0;
    lpStg->AddRef();
    Message::FileBinding binding{base::ComPtr<IStorage>(lpStg), (ulFlags & IMSG_NO_ISTG_COMMIT) != 0,
                                 lpMsgSess->state, lpfMsgCallRelease, ulCallerData};
    Message* message = nullptr;
    const HRESULT hr = Message::OpenFile(std::move(tree), std::move(binding), &message);
    if (SUCCEEDED(hr)) *lppMsg = message;
    return hr;
}

}  // extern "C"
