// Ownership of a loaded module: FreeLibrary exactly once, when the owner is reset or dies.
#pragma once

#include "base/unique_resource.h"

namespace base {

using UniqueModule = UniqueResource<NullTraits<HMODULE, ::FreeLibrary>>;

}  // namespace base
