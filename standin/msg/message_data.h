// The in-memory form of a message file: properties, recipients, attachments and
// embedded messages. Message objects work on these; msg_file.h moves them to and
// from a compound file. Plain data: used by one thread at a time.
#pragma once

#include "base/mapi_buffer.h"
#include "standin/mapi/mapi.h"

#include <map>
#include <memory>
#include <vector>

namespace standin::msg {

// The properties of one object, one value per property id, each value in its own
// MAPI buffer.
class PropertySet {
public:
    // Stores a deep copy of `value`, replacing any value with the same id.
    [[nodiscard]] HRESULT Set(const SPropValue& value) noexcept;
    // The value with the property id of `tag`, whatever its type; null if none.
    [[nodiscard]] const SPropValue* Find(ULONG tag) const noexcept;
    void Erase(ULONG tag) noexcept;
    // Shallow views of every value in property id order; they point into this set.
    [[nodiscard]] HRESULT Values(std::vector<SPropValue>& values) const noexcept;
    [[nodiscard]] HRESULT CopyFrom(const PropertySet& other) noexcept;
    [[nodiscard]] std::size_t size() const noexcept { return values_.size(); }

private:
    std::map<ULONG, base::UniqueMapiBuffer<SPropValue>> values_;
};

struct MessageData;

struct RecipientData {
    PropertySet props;  // includes PR_ROWID
};

struct AttachmentData {
    PropertySet props;                      // PR_ATTACH_NUM is the key it is filed under, not a property here
    std::unique_ptr<MessageData> embedded;  // PR_ATTACH_DATA_OBJ of an embedded message
};

struct MessageData {
    PropertySet props;
    std::vector<RecipientData> recipients;        // in row order
    std::map<ULONG, AttachmentData> attachments;  // by attachment number
    ULONG nextRecipientId = 0;
    ULONG nextAttachmentId = 0;
};

[[nodiscard]] HRESULT CopyMessageData(const MessageData& from, MessageData& to) noexcept;
[[nodiscard]] HRESULT CopyAttachmentData(const AttachmentData& from, AttachmentData& to) noexcept;

// Named properties of one message file (shared by its embedded messages): the
// name of property id 0x8000 + i is entry i.
struct PropertyName {
    GUID guid{};
    ULONG kind = MNID_ID;  // MNID_ID or MNID_STRING
    LONG id = 0;
    std::wstring name;
};

class NameMap {
public:
    static constexpr ULONG kFirstId = 0x8000;
    static constexpr ULONG kLastId = 0xFFFE;

    // The property id of `name`, or 0. Names in PS_MAPI by number are the
    // ordinary property of that id.
    [[nodiscard]] ULONG Find(const MAPINAMEID& name) const noexcept;
    // Finds or adds; MAPI_E_TOO_BIG when every named id is taken.
    [[nodiscard]] HRESULT FindOrAdd(const MAPINAMEID& name, ULONG& propId) noexcept;
    // The name of a named property id, or null.
    [[nodiscard]] const PropertyName* NameOf(ULONG propId) const noexcept;
    [[nodiscard]] const std::vector<PropertyName>& names() const noexcept { return names_; }
    // Adds a name read from a file at the next id (ids follow file order).
    [[nodiscard]] HRESULT Append(PropertyName name) noexcept;

private:
    std::vector<PropertyName> names_;
};

}  // namespace standin::msg
