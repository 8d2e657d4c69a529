// Copying a message (or an attachment) of a message file into any destination
// object, through nothing but the destination's MAPI interface: properties by
// SetProps (a value the destination refuses as too large goes through an
// OpenProperty stream), named properties renamed to the destination's ids,
// recipients by ModifyRecipients, attachments by CreateAttach, embedded messages
// by OpenProperty(PR_ATTACH_DATA_OBJ, IID_IMessage) and a copy into them.
#pragma once

#include "standin/msg/message_data.h"

#include <vector>

namespace standin::msg {

// Which properties of the source go: all but `tags` (exclude), or only `tags`.
struct CopySelection {
    const SPropTagArray* tags = nullptr;
    bool include = false;
    [[nodiscard]] bool Takes(ULONG tag) const noexcept;
};

// `problems` receives the destination's problems with the top object's properties.
[[nodiscard]] HRESULT CopyMessageInto(const MessageData& source, const NameMap& names,
                                      const CopySelection& selection, IMessage* destination,
                                      std::vector<SPropProblem>& problems) noexcept;
[[nodiscard]] HRESULT CopyAttachmentInto(const AttachmentData& source, const NameMap& names,
                                         const CopySelection& selection, IAttach* destination,
                                         std::vector<SPropProblem>& problems) noexcept;

}  // namespace standin::msg
