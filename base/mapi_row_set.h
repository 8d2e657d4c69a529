// Owner of a MAPI row set (QueryRows, HrQueryAllRows): FreeProws frees every
// row's values and the set.
#pragma once

#include "base/unique_resource.h"

#include <mapix.h>
#include <mapiutil.h>

namespace base {

using UniqueRowSet = UniqueResource<NullTraits<SRowSet*, ::FreeProws>>;

}  // namespace base
