// Owner of a MAPI buffer (MAPIAllocateBuffer, or a MAPI call that returns one):
// MAPIFreeBuffer frees it together with every block allocated onto it.
#pragma once

#include "base/unique_resource.h"

#include <mapix.h>

namespace base {

template <typename T>
using UniqueMapiBuffer = UniqueResource<NullTraits<T*, ::MAPIFreeBuffer>>;

}  // namespace base
