// Owner of a MAPI row set (QueryRows, HrQueryAllRows): FreeProws frees every
// row's values and the set.
#pragma once

#include "base/unique_resource.h"

#include <mapix.h>
#include <mapiutil.h>

namespace base {

struct MapiRowSetTraits {
    using Type = SRowSet*;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type rows) noexcept { ::FreeProws(rows); }
};

using UniqueRowSet = UniqueResource<MapiRowSetTraits>;

}  // namespace base
