#include "standin/mapi/props.h"
#include "standin/mapi/strings.h"
#include "standin/mapi/table.h"
#include "standin/msg/copy.h"
#include "standin/msg/msg_file.h"
#include "standin/msg/objects.h"

#include <algorithm>
#include <climits>
#include <new>

#include "base/boundary.h"

namespace standin::msg {
namespace {

// Attachment table rows leave out the attachment's data: a table is a listing.
constexpr ULONG kNotInAttachmentRows[] = {PR_ATTACH_DATA_BIN};

// The tags of `rows` in first-seen order, strings in the width MAPI_UNICODE asks
// for: the columns a recipient or attachment table starts with.
void DefaultColumns(const std::vector<std::vector<SPropValue>>& rows, ULONG flags,
                    std::vector<ULONG>& columns) {
    for (const auto& row : rows) {
        for (const SPropValue& v : row) {
            ULONG tag = v.ulPropTag;
            const ULONG base = PROP_TYPE(tag) & ~MV_FLAG;
            if (base == PT_STRING8 || base == PT_UNICODE) {
                tag =
                    PROP_TAG((PROP_TYPE(tag) & MV_FLAG) | ((flags & MAPI_UNICODE) ? PT_UNICODE : PT_STRING8),
                             PROP_ID(tag));
            }
            if (std::find(columns.begin(), columns.end(), tag) == columns.end()) columns.push_back(tag);
        }
    }
}

[[nodiscard]] HRESULT MakeTable(const std::vector<std::vector<SPropValue>>& rows, ULONG flags,
                                IMAPITable** table) {
    std::vector<ULONG> columns;
    DefaultColumns(rows, flags, columns);
    std::vector<BYTE> columnBuffer(CbNewSPropTagArray(columns.size()));
    auto* tags = reinterpret_cast<SPropTagArray*>(columnBuffer.data());
    tags->cValues = static_cast<ULONG>(columns.size());
    std::copy(columns.begin(), columns.end(), tags->aulPropTag);
    std::vector<TableRow> spans(rows.begin(), rows.end());
    return CreateTable(TBLTYPE_SNAPSHOT, *tags, spans, table);
}

[[nodiscard]] const SPropValue* RowIdOf(const SPropValue* values, ULONG count) noexcept {
    const SPropValue* v = FindPropById({values, count}, PR_ROWID);
    return v && v->ulPropTag == PR_ROWID ? v : nullptr;
}

// Stores an address-list entry as a recipient with row id `rowId`.
[[nodiscard]] HRESULT FillRecipient(const ADRENTRY& entry, LONG rowId, RecipientData& recipient) {
    PropertySet props;
    for (ULONG i = 0; i < entry.cValues; ++i) {
        const SPropValue& v = entry.rgPropVals[i];
        if (PROP_ID(v.ulPropTag) == PROP_ID(PR_ROWID) || PROP_TYPE(v.ulPropTag) == PT_ERROR) continue;
        if (HRESULT hr = props.Set(v); FAILED(hr)) return hr;
    }
    SPropValue id{PR_ROWID, 0, {}};
    id.Value.l = rowId;
    if (HRESULT hr = props.Set(id); FAILED(hr)) return hr;
    return recipient.props.CopyFrom(props);
}

// CopyTo and CopyProps of either object: the destination as `Target` (never the
// source itself), then `copy`, whose problems go to the caller.
template <typename Target, typename Copy>
[[nodiscard]] HRESULT CopyToDestination(const IID& iid, const void* source, LPVOID destination, ULONG flags,
                                        const Tree& tree, LPSPropProblemArray* problems, Copy copy) noexcept {
    if (problems) *problems = nullptr;
    if (!destination) return MAPI_E_INVALID_PARAMETER;
    if (flags & MAPI_MOVE) return MAPI_E_NO_SUPPORT;
    base::ComPtr<Target> target;
    if (FAILED(static_cast<IUnknown*>(destination)->QueryInterface(iid, target.put_void()))) {
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    }
    if (static_cast<const void*>(target.get()) == source) return MAPI_E_NO_ACCESS;
    return base::ReturnOr(
        [&] {
            std::vector<SPropProblem> found;
            if (HRESULT hr = copy(target.get(), found); FAILED(hr)) return hr;
            return MakeProblemArray(found, tree, problems);
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

// Replaces the Unicode strings of `props` by 8-bit ones in the code page
// `codePageSource` names (strings.h); only its numbers are read.
[[nodiscard]] HRESULT NarrowStrings(PropertySet& props, std::span<const SPropValue> codePageSource) noexcept {
    std::vector<SPropValue> values;
    if (HRESULT hr = props.Values(values); FAILED(hr)) return hr;
    for (const SPropValue& v : values) {
        const ULONG type = PROP_TYPE(v.ulPropTag);
        if ((type & ~MV_FLAG) != PT_UNICODE) continue;
        base::UniqueMapiBuffer<SPropValue> narrow;
        HRESULT hr = ::MAPIAllocateBuffer(sizeof(SPropValue), reinterpret_cast<void**>(narrow.put()));
        if (SUCCEEDED(hr)) {
            hr = ConvertStringValue(v, (type & MV_FLAG) | PT_STRING8, CodePageOf(codePageSource, v.ulPropTag),
                                    narrow.get(), *narrow.get());
        }
        if (SUCCEEDED(hr)) hr = props.Set(*narrow.get());
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

// A message file made without MAPI_UNICODE holds 8-bit strings only, converted
// through the message's code page ("OpenIMsgSession", "OpenIMsgOnIStg": only
// MAPI_UNICODE makes a Unicode message file, with STORE_UNICODE_OK).
[[nodiscard]] HRESULT NarrowMessage(MessageData& message) noexcept {
    std::vector<SPropValue> own;
    HRESULT hr = message.props.Values(own);
    if (SUCCEEDED(hr)) hr = NarrowStrings(message.props, own);
    for (RecipientData& recipient : message.recipients) {
        if (SUCCEEDED(hr)) hr = NarrowStrings(recipient.props, own);
    }
    for (auto& [number, attachment] : message.attachments) {
        if (SUCCEEDED(hr)) hr = NarrowStrings(attachment.props, own);
        if (SUCCEEDED(hr) && attachment.embedded) hr = NarrowMessage(*attachment.embedded);
    }
    return hr;
}

[[nodiscard]] bool IsInterface(LPCIID iid, const IID& expected) noexcept {
    return !iid || *iid == expected || *iid == IID_IMAPIProp || *iid == IID_IUnknown;
}

}  // namespace

// ---- Message ------------------------------------------------------------------

Message::Message(std::shared_ptr<Tree> tree, FileBinding binding, Attachment* parent) noexcept
    : PropObject(std::move(tree), &data_.props), binding_(std::move(binding)) {
    supportMask_.ulPropTag = PR_STORE_SUPPORT_MASK;
    supportMask_.Value.l = this->tree().unicode ? static_cast<LONG>(STORE_UNICODE_OK) : 0;
    if (parent) {
        parent->AddRef();
        parent_.reset(parent);
    }
}

Message::~Message() {
    if (binding_.session) binding_.session->Forget(this);
    if (binding_.onRelease) binding_.onRelease(binding_.callerData, this);
}

HRESULT Message::OpenFile(std::shared_ptr<Tree> tree, FileBinding binding, Message** out) noexcept {
    *out = nullptr;
    // The session and the release callback hear of the message once it is open.
    FileBinding opened{std::move(binding.storage), binding.noCommit, nullptr, nullptr, 0};
    auto* message = new (std::nothrow) Message(std::move(tree), std::move(opened), nullptr);
    if (!message) return MAPI_E_NOT_ENOUGH_MEMORY;
    HRESULT hr = ReadMessageFile(message->binding_.storage.get(), message->data_, message->tree().names);
    if (SUCCEEDED(hr) && binding.session && !binding.session->Add(message)) hr = MAPI_E_INVALID_OBJECT;
    if (FAILED(hr)) {
        message->Release();
        return hr;
    }
    message->binding_.session = std::move(binding.session);
    message->binding_.onRelease = binding.onRelease;
    message->binding_.callerData = binding.callerData;
    *out = message;
    return S_OK;
}

HRESULT Message::OpenEmbedded(Attachment* parent, const MessageData* data, Message** out) noexcept {
    *out = nullptr;
    auto* message = new (std::nothrow) Message(parent->sharedTree(), FileBinding{}, parent);
    if (!message) return MAPI_E_NOT_ENOUGH_MEMORY;
    if (data) {
        if (HRESULT hr = CopyMessageData(*data, message->data_); FAILED(hr)) {
            message->Release();
            return hr;
        }
    }
    *out = message;
    return S_OK;
}

UINT Message::CodePage(ULONG tag) const noexcept {
    std::vector<SPropValue> values;
    if (FAILED(data_.props.Values(values))) return CP_ACP;
    return CodePageOf(values, tag);
}

HRESULT Message::SaveChanges(ULONG) noexcept {
    if (parent_) {  // an embedded message goes into its attachment
        AttachmentData& target = parent_->data();
        if (!target.embedded) target.embedded.reset(new (std::nothrow) MessageData);
        if (!target.embedded) return MAPI_E_NOT_ENOUGH_MEMORY;
        return CopyMessageData(data_, *target.embedded);
    }
    IStorage* storage = binding_.storage.get();
    if (!storage) return MAPI_E_INVALID_OBJECT;  // its session was closed
    if (!tree().unicode) {
        if (HRESULT hr = NarrowMessage(data_); FAILED(hr)) return hr;
    }
    CLSID current{};
    if (FAILED(::ReadClassStg(storage, &current)) || current == CLSID_NULL) {
        if (HRESULT hr = ::WriteClassStg(storage, kClsidMailMessage); FAILED(hr)) return MapStorageError(hr);
    }
    if (HRESULT hr = WriteMessageFile(storage, data_, tree().names); FAILED(hr)) return hr;
    if (binding_.noCommit) return S_OK;
    const HRESULT hr = storage->Commit(STGC_DEFAULT);
    return FAILED(hr) ? MapStorageError(hr) : S_OK;
}

HRESULT Message::CopyTo(ULONG, LPCIID, LPSPropTagArray excluded, ULONG, LPMAPIPROGRESS, LPCIID,
                        LPVOID destination, ULONG flags, LPSPropProblemArray* problems) noexcept {
    return CopyToDestination<IMessage>(
        IID_IMessage, static_cast<IMessage*>(this), destination, flags, tree(), problems,
        [&](IMessage* target, std::vector<SPropProblem>& found) {
            return CopyMessageInto(data_, tree().names, CopySelection{excluded, false}, target, found);
        });
}

HRESULT Message::CopyProps(LPSPropTagArray included, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID destination,
                           ULONG flags, LPSPropProblemArray* problems) noexcept {
    if (!included) return MAPI_E_INVALID_PARAMETER;
    return CopyToDestination<IMessage>(
        IID_IMessage, static_cast<IMessage*>(this), destination, flags, tree(), problems,
        [&](IMessage* target, std::vector<SPropProblem>& found) {
            return CopyMessageInto(data_, tree().names, CopySelection{included, true}, target, found);
        });
}

HRESULT Message::GetAttachmentTable(ULONG flags, LPMAPITABLE* table) noexcept {
    if (!table) return MAPI_E_INVALID_PARAMETER;
    *table = nullptr;
    return base::ReturnOr(
        [&] {
            std::vector<std::vector<SPropValue>> rows;
            for (const auto& [number, attachment] : data_.attachments) {
                std::vector<SPropValue> stored;
                if (HRESULT hr = attachment.props.Values(stored); FAILED(hr)) return hr;
                SPropValue num{PR_ATTACH_NUM, 0, {}};
                num.Value.l = static_cast<LONG>(number);
                std::vector<SPropValue>& row = rows.emplace_back(1, num);
                for (const SPropValue& v : stored) {
                    if (std::find(std::begin(kNotInAttachmentRows), std::end(kNotInAttachmentRows),
                                  v.ulPropTag) == std::end(kNotInAttachmentRows)) {
                        row.push_back(v);
                    }
                }
            }
            return MakeTable(rows, flags, table);
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT Message::OpenAttach(ULONG number, LPCIID iid, ULONG, LPATTACH* attach) noexcept {
    if (!attach) return MAPI_E_INVALID_PARAMETER;
    *attach = nullptr;
    if (!IsInterface(iid, IID_IAttachment)) return MAPI_E_INTERFACE_NOT_SUPPORTED;
    const auto found = data_.attachments.find(number);
    if (found == data_.attachments.end()) return MAPI_E_NOT_FOUND;
    Attachment* opened = nullptr;
    HRESULT hr = Attachment::Open(this, number, &found->second, &opened);
    if (SUCCEEDED(hr)) *attach = opened;
    return hr;
}

HRESULT Message::CreateAttach(LPCIID iid, ULONG, ULONG* number, LPATTACH* attach) noexcept {
    if (!attach || !number) return MAPI_E_INVALID_PARAMETER;
    *attach = nullptr;
    if (!IsInterface(iid, IID_IAttachment)) return MAPI_E_INTERFACE_NOT_SUPPORTED;
    if (data_.nextAttachmentId >= LONG_MAX) return MAPI_E_TOO_BIG;
    Attachment* created = nullptr;
    HRESULT hr = Attachment::Open(this, data_.nextAttachmentId, nullptr, &created);
    if (FAILED(hr)) return hr;
    *number = data_.nextAttachmentId++;
    *attach = created;
    return S_OK;
}

HRESULT Message::DeleteAttach(ULONG number, ULONG, LPMAPIPROGRESS, ULONG) noexcept {
    return data_.attachments.erase(number) ? S_OK : MAPI_E_NOT_FOUND;
}

HRESULT Message::GetRecipientTable(ULONG flags, LPMAPITABLE* table) noexcept {
    if (!table) return MAPI_E_INVALID_PARAMETER;
    *table = nullptr;
    return base::ReturnOr(
        [&] {
            std::vector<std::vector<SPropValue>> rows(data_.recipients.size());
            for (std::size_t i = 0; i < rows.size(); ++i) {
                if (HRESULT hr = data_.recipients[i].props.Values(rows[i]); FAILED(hr)) return hr;
            }
            return MakeTable(rows, flags, table);
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT Message::ModifyRecipients(ULONG flags, LPADRLIST recipients) noexcept {
    if (!recipients) return MAPI_E_INVALID_PARAMETER;
    return base::ReturnOr(
        [&] {
            std::vector<RecipientData>& list = data_.recipients;
            const ADRENTRY* entries = recipients->aEntries;
            if (flags == 0) {  // the list replaces every recipient
                std::vector<RecipientData> replaced(recipients->cEntries);
                for (ULONG i = 0; i < recipients->cEntries; ++i) {
                    if (HRESULT hr = FillRecipient(entries[i], static_cast<LONG>(i), replaced[i]); FAILED(hr))
                        return hr;
                }
                list = std::move(replaced);
                data_.nextRecipientId = recipients->cEntries;
                return S_OK;
            }
            for (ULONG i = 0; i < recipients->cEntries; ++i) {
                const ADRENTRY& entry = entries[i];
                if (flags & MODRECIP_ADD) {
                    RecipientData added;
                    if (HRESULT hr = FillRecipient(entry, static_cast<LONG>(data_.nextRecipientId), added);
                        FAILED(hr)) {
                        return hr;
                    }
                    list.push_back(std::move(added));
                    ++data_.nextRecipientId;
                    continue;
                }
                const SPropValue* rowId = RowIdOf(entry.rgPropVals, entry.cValues);
                if (!rowId) return MAPI_E_INVALID_PARAMETER;
                const auto match = std::find_if(list.begin(), list.end(), [&](const RecipientData& r) {
                    return r.props.Find(PR_ROWID)->Value.l == rowId->Value.l;
                });
                if (match == list.end()) return MAPI_E_NOT_FOUND;
                if (flags & MODRECIP_REMOVE) {
                    list.erase(match);
                } else if (HRESULT hr = FillRecipient(entry, rowId->Value.l, *match); FAILED(hr)) {
                    return hr;
                }
            }
            return S_OK;
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT Message::SetReadFlag(ULONG flags) noexcept {
    SPropValue messageFlags{PR_MESSAGE_FLAGS, 0, {}};
    if (const SPropValue* current = props().Find(PR_MESSAGE_FLAGS);
        current && current->ulPropTag == PR_MESSAGE_FLAGS) {
        messageFlags.Value.l = current->Value.l;
    }
    if (flags & CLEAR_READ_FLAG) {
        messageFlags.Value.l &= ~MSGFLAG_READ;
    } else {
        messageFlags.Value.l |= MSGFLAG_READ;
    }
    return props().Set(messageFlags);
}

// ---- Attachment ---------------------------------------------------------------

Attachment::Attachment(Message* parent, ULONG number) noexcept
    : PropObject(parent->sharedTree(), &data_.props) {
    parent->AddRef();
    parent_.reset(parent);
    number_.ulPropTag = PR_ATTACH_NUM;
    number_.Value.l = static_cast<LONG>(number);
}

HRESULT Attachment::Open(Message* parent, ULONG number, const AttachmentData* data,
                         Attachment** out) noexcept {
    *out = nullptr;
    auto* attachment = new (std::nothrow) Attachment(parent, number);
    if (!attachment) return MAPI_E_NOT_ENOUGH_MEMORY;
    if (data) {
        if (HRESULT hr = CopyAttachmentData(*data, attachment->data_); FAILED(hr)) {
            attachment->Release();
            return hr;
        }
    }
    *out = attachment;
    return S_OK;
}

std::span<const ULONG> Attachment::ObjectTags() const noexcept {
    static constexpr ULONG kEmbedded[] = {PR_ATTACH_DATA_OBJ};
    return data_.embedded ? std::span<const ULONG>(kEmbedded) : std::span<const ULONG>();
}

HRESULT Attachment::SaveChanges(ULONG) noexcept {
    return base::ReturnOr(
        [&] {
            return CopyAttachmentData(data_,
                                      parent_->data().attachments[static_cast<ULONG>(number_.Value.l)]);
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT Attachment::OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags, LPUNKNOWN* out) noexcept {
    if (PROP_ID(tag) != PROP_ID(PR_ATTACH_DATA_OBJ) || !iid || *iid != IID_IMessage) {
        return PropObject::OpenProperty(tag, iid, options, flags, out);
    }
    if (!out) return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    if (!data_.embedded && !(flags & MAPI_CREATE)) return MAPI_E_NOT_FOUND;
    // MAPI_CREATE starts a new embedded message; without it the one there opens.
    Message* embedded = nullptr;
    const MessageData* existing = (flags & MAPI_CREATE) ? nullptr : data_.embedded.get();
    HRESULT hr = Message::OpenEmbedded(this, existing, &embedded);
    if (SUCCEEDED(hr)) *out = static_cast<IMessage*>(embedded);
    return hr;
}

HRESULT Attachment::CopyTo(ULONG, LPCIID, LPSPropTagArray excluded, ULONG, LPMAPIPROGRESS, LPCIID,
                           LPVOID destination, ULONG flags, LPSPropProblemArray* problems) noexcept {
    return CopyToDestination<IAttach>(
        IID_IAttachment, static_cast<IAttach*>(this), destination, flags, tree(), problems,
        [&](IAttach* target, std::vector<SPropProblem>& found) {
            return CopyAttachmentInto(data_, tree().names, CopySelection{excluded, false}, target, found);
        });
}

HRESULT Attachment::CopyProps(LPSPropTagArray included, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID destination,
                              ULONG flags, LPSPropProblemArray* problems) noexcept {
    if (!included) return MAPI_E_INVALID_PARAMETER;
    return CopyToDestination<IAttach>(
        IID_IAttachment, static_cast<IAttach*>(this), destination, flags, tree(), problems,
        [&](IAttach* target, std::vector<SPropProblem>& found) {
            return CopyAttachmentInto(data_, tree().names, CopySelection{included, true}, target, found);
        });
}

}  // namespace standin::msg
