// A message over a compound file (OpenIMsgOnIStg) with what it lives on: MAPI's default
// allocator and a message session of its own. CloseIMsgSession closes every message
// still open on its session, so the owner releases the message first, then the session,
// then the allocator, on every way out.
#pragma once

#include <mapix.h>
#include <mapiutil.h>
#include <imessage.h>

#include "base/com.h"
#include "base/unique_resource.h"

namespace base {

using UniqueMsgSession = UniqueResource<NullTraits<LPMSGSESS, ::CloseIMsgSession>>;

// Its members are released in the reverse of their order: message, session, allocator.
class MessageOnStorage {
public:
    // The session, on MAPI's default allocator; E_FAIL when there is no allocator.
    [[nodiscard]] HRESULT OpenSession() noexcept {
        reset();
        allocator_ = ComPtr<IMalloc>::Copy(::MAPIGetDefaultMalloc());
        if (!allocator_) return E_FAIL;
        return ::OpenIMsgSession(allocator_.get(), 0, session_.put());
    }
    // The message on `storage`, in the open session; `flags` as OpenIMsgOnIStg takes
    // them (MAPI_UNICODE for a Unicode message file).
    [[nodiscard]] HRESULT OpenMessage(IStorage* storage, ULONG flags = 0) noexcept {
        return ::OpenIMsgOnIStg(session_.get(), ::MAPIAllocateBuffer, ::MAPIAllocateMore, ::MAPIFreeBuffer,
                                allocator_.get(), nullptr, storage, nullptr, 0, flags, message_.put());
    }
    // Both, where which one failed does not matter.
    [[nodiscard]] HRESULT Open(IStorage* storage, ULONG flags = 0) noexcept {
        const HRESULT hr = OpenSession();
        return FAILED(hr) ? hr : OpenMessage(storage, flags);
    }

    [[nodiscard]] IMessage* get() const noexcept { return message_.get(); }
    IMessage* operator->() const noexcept { return message_.get(); }
    explicit operator bool() const noexcept { return static_cast<bool>(message_); }
    void reset() noexcept {
        message_.reset();
        session_.reset();
        allocator_.reset();
    }

private:
    ComPtr<IMalloc> allocator_;
    UniqueMsgSession session_;
    ComPtr<IMessage> message_;
};

}  // namespace base
