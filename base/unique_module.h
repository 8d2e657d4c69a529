// Ownership of a loaded module: FreeLibrary exactly once, when the owner is reset or dies.
#pragma once

#include "base/unique_resource.h"

namespace base {

struct ModuleTraits {
    using Type = HMODULE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type module) noexcept { ::FreeLibrary(module); }
};
using UniqueModule = UniqueResource<ModuleTraits>;

}  // namespace base
