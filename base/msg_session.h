// Owner of a message session (OpenIMsgSession): CloseIMsgSession closes it and
// every message still open on it, so the session must outlive those messages.
#pragma once

#include "base/unique_resource.h"

#include <mapidefs.h>
#include <imessage.h>

namespace base {

struct MsgSessionTraits {
    using Type = LPMSGSESS;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type session) noexcept { ::CloseIMsgSession(session); }
};

using UniqueMsgSession = UniqueResource<MsgSessionTraits>;

}  // namespace base
