#include "standin/msg/message_data.h"

#include "standin/mapi/props.h"

#include <new>

#include "base/boundary.h"

namespace standin::msg {
namespace {

[[nodiscard]] bool SameName(const PropertyName& entry, const MAPINAMEID& name) noexcept {
    if (!name.lpguid || entry.guid != *name.lpguid || entry.kind != name.ulKind) return false;
    if (name.ulKind == MNID_ID) return entry.id == name.Kind.lID;
    return name.Kind.lpwstrName && entry.name == name.Kind.lpwstrName;
}

// PS_MAPI names by number are the ordinary properties of that number.
[[nodiscard]] ULONG OrdinaryId(const MAPINAMEID& name) noexcept {
    if (name.lpguid && *name.lpguid == PS_MAPI && name.ulKind == MNID_ID && name.Kind.lID > 0 &&
        name.Kind.lID < static_cast<LONG>(NameMap::kFirstId)) {
        return static_cast<ULONG>(name.Kind.lID);
    }
    return 0;
}

}  // namespace

HRESULT PropertySet::Set(const SPropValue& value) noexcept {
    base::UniqueMapiBuffer<SPropValue> copy;
    HRESULT hr = CopyPropArray({&value, 1}, copy.put());
    if (FAILED(hr)) return hr;
    if (!base::Completes([&] { values_[PROP_ID(value.ulPropTag)] = std::move(copy); })) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    return S_OK;
}

const SPropValue* PropertySet::Find(ULONG tag) const noexcept {
    const auto found = values_.find(PROP_ID(tag));
    return found == values_.end() ? nullptr : found->second.get();
}

void PropertySet::Erase(ULONG tag) noexcept { values_.erase(PROP_ID(tag)); }

HRESULT PropertySet::Values(std::vector<SPropValue>& values) const noexcept {
    if (!base::Completes([&] {
            values.clear();
            values.reserve(values_.size());
            for (const auto& [id, value] : values_) values.push_back(*value.get());
        })) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    return S_OK;
}

HRESULT PropertySet::CopyFrom(const PropertySet& other) noexcept {
    values_.clear();
    for (const auto& [id, value] : other.values_) {
        if (HRESULT hr = Set(*value.get()); FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT CopyAttachmentData(const AttachmentData& from, AttachmentData& to) noexcept {
    if (HRESULT hr = to.props.CopyFrom(from.props); FAILED(hr)) return hr;
    to.embedded.reset();
    if (!from.embedded) return S_OK;
    to.embedded.reset(new (std::nothrow) MessageData);
    if (!to.embedded) return MAPI_E_NOT_ENOUGH_MEMORY;
    return CopyMessageData(*from.embedded, *to.embedded);
}

HRESULT CopyMessageData(const MessageData& from, MessageData& to) noexcept {
    return base::ReturnOr(
        [&] {
            if (HRESULT hr = to.props.CopyFrom(from.props); FAILED(hr)) return hr;
            to.recipients.clear();
            to.recipients.resize(from.recipients.size());
            for (std::size_t i = 0; i < from.recipients.size(); ++i) {
                if (HRESULT hr = to.recipients[i].props.CopyFrom(from.recipients[i].props); FAILED(hr))
                    return hr;
            }
            to.attachments.clear();
            for (const auto& [number, attachment] : from.attachments) {
                if (HRESULT hr = CopyAttachmentData(attachment, to.attachments[number]); FAILED(hr))
                    return hr;
            }
            to.nextRecipientId = from.nextRecipientId;
            to.nextAttachmentId = from.nextAttachmentId;
            return S_OK;
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

ULONG NameMap::Find(const MAPINAMEID& name) const noexcept {
    if (const ULONG ordinary = OrdinaryId(name)) return ordinary;
    for (std::size_t i = 0; i < names_.size(); ++i) {
        if (SameName(names_[i], name)) return kFirstId + static_cast<ULONG>(i);
    }
    return 0;
}

HRESULT NameMap::FindOrAdd(const MAPINAMEID& name, ULONG& propId) noexcept {
    propId = Find(name);
    if (propId) return S_OK;
    if (!name.lpguid || (name.ulKind != MNID_ID && name.ulKind != MNID_STRING) ||
        (name.ulKind == MNID_STRING && !name.Kind.lpwstrName)) {
        return MAPI_E_INVALID_PARAMETER;
    }
    return base::ReturnOr(
        [&] {
            PropertyName entry{*name.lpguid, name.ulKind, name.ulKind == MNID_ID ? name.Kind.lID : 0,
                               name.ulKind == MNID_STRING ? name.Kind.lpwstrName : L""};
            const std::size_t index = names_.size();
            if (HRESULT hr = Append(std::move(entry)); FAILED(hr)) return hr;
            propId = kFirstId + static_cast<ULONG>(index);
            return S_OK;
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

const PropertyName* NameMap::NameOf(ULONG propId) const noexcept {
    if (propId < kFirstId || propId - kFirstId >= names_.size()) return nullptr;
    return &names_[propId - kFirstId];
}

HRESULT NameMap::Append(PropertyName name) noexcept {
    if (names_.size() > kLastId - kFirstId) return MAPI_E_TOO_BIG;
    if (!base::Completes([&] { names_.push_back(std::move(name)); })) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    return S_OK;
}

}  // namespace standin::msg
