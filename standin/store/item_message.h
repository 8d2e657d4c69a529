// The IMessage of a store item: a message file of the message file layer, held in
// memory, whose SaveChanges writes the item file atomically.
#pragma once

#include <windows.h>
#include <mapidefs.h>

#include <cstdint>

#include "base/com.h"
#include "standin/store/profile.h"

namespace standin::store {

// Opens an existing item (its file is read into memory) or, with a null `item`,
// a new message of `folder` that becomes an item at its first SaveChanges.
// `faults` (fault::kCopyTo, fault::kSaveChanges) make those calls fail; fault::kString8
// and fault::kErrorValue turn what GetProps gives into error values. A message that is
// not `writable` refuses every change with MAPI_E_NO_ACCESS.
[[nodiscard]] HRESULT OpenItemMessage(const Folder& folder, const Item* item, uint32_t faults, bool writable,
                                      base::ComPtr<IMessage>& message);

}  // namespace standin::store
