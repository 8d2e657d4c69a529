#include "standin/msg/objects.h"

#include "standin/mapi/props.h"
#include "standin/mapi/strings.h"

#include <algorithm>
#include <new>

#include "base/boundary.h"

namespace standin::msg {
namespace {

// The type a tag without a definite type stands for: the stored one, with strings
// in the width MAPI_UNICODE asks for.
[[nodiscard]] ULONG ResolvedType(ULONG wanted, ULONG stored, ULONG flags) noexcept {
    if (wanted != PT_UNSPECIFIED) return wanted;
    const ULONG base = stored & ~MV_FLAG;
    if (base == PT_STRING8 || base == PT_UNICODE) {
        return (stored & MV_FLAG) | ((flags & MAPI_UNICODE) ? PT_UNICODE : PT_STRING8);
    }
    return stored;
}

// Types a caller may store.
[[nodiscard]] bool SettableType(ULONG type) noexcept {
    return type != PT_ERROR && type != PT_NULL && type != PT_UNSPECIFIED && type != PT_OBJECT;
}

[[nodiscard]] HRESULT AllocateTagArray(const Tree& tree, std::size_t count, SPropTagArray** out) noexcept {
    HRESULT hr = tree.allocateBuffer(CbNewSPropTagArray(count), reinterpret_cast<void**>(out));
    if (SUCCEEDED(hr)) (*out)->cValues = static_cast<ULONG>(count);
    return hr;
}

void FreeWith(const Tree& tree, void* buffer) noexcept {
    if (buffer) tree.freeBuffer(buffer);
}

}  // namespace

HRESULT MakeProblemArray(const std::vector<SPropProblem>& problems, const Tree& tree,
                         LPSPropProblemArray* out) noexcept {
    if (!out) return S_OK;
    *out = nullptr;
    if (problems.empty()) return S_OK;
    HRESULT hr = tree.allocateBuffer(CbNewSPropProblemArray(problems.size()), reinterpret_cast<void**>(out));
    if (FAILED(hr)) return hr;
    (*out)->cProblem = static_cast<ULONG>(problems.size());
    std::copy(problems.begin(), problems.end(), (*out)->aProblem);
    return S_OK;
}

template <typename Interface>
const SPropValue* PropObject<Interface>::Lookup(ULONG tag) const noexcept {
    if (const SPropValue* computed = FindPropById(Computed(), tag)) return computed;
    return props_->Find(tag);
}

template <typename Interface>
HRESULT PropObject<Interface>::GetLastError(HRESULT, ULONG, LPMAPIERROR* error) noexcept {
    if (!error) return MAPI_E_INVALID_PARAMETER;
    *error = nullptr;  // no further text than the code itself
    return S_OK;
}

template <typename Interface>
HRESULT PropObject<Interface>::GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count,
                                        LPSPropValue* values) noexcept {
    if (!count || !values) return MAPI_E_INVALID_PARAMETER;
    *count = 0;
    *values = nullptr;
    std::vector<ULONG> wanted;
    HRESULT hr = base::ReturnOr(
        [&] {
            if (tags) {
                wanted.assign(tags->aulPropTag, tags->aulPropTag + tags->cValues);
                return S_OK;
            }
            for (const SPropValue& v : Computed())
                wanted.push_back(PROP_TAG(PT_UNSPECIFIED, PROP_ID(v.ulPropTag)));
            std::vector<SPropValue> stored;
            if (HRESULT hr = props_->Values(stored); FAILED(hr)) return hr;
            for (const SPropValue& v : stored)
                wanted.push_back(PROP_TAG(PT_UNSPECIFIED, PROP_ID(v.ulPropTag)));
            return S_OK;
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
    if (FAILED(hr)) return hr;
    SPropValue* out = nullptr;
    hr = tree_->allocateBuffer(
        static_cast<ULONG>(std::max<std::size_t>(wanted.size(), 1) * sizeof(SPropValue)),
        reinterpret_cast<void**>(&out));
    if (FAILED(hr)) return hr;
    bool errors = false;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        const ULONG tag = wanted[i];
        const SPropValue* value = Lookup(tag);
        const ULONG stored = value ? PROP_TYPE(value->ulPropTag) : PT_ERROR;
        const ULONG type = ResolvedType(PROP_TYPE(tag), stored, flags);
        hr = S_OK;
        if (value && type == stored) {
            hr = CopyPropValue(*value, out, out[i], tree_->allocateMore);
        } else if (value && AreStringTwins(stored, type)) {
            hr = ConvertStringValue(*value, type, CodePage(tag), out, out[i], tree_->allocateMore);
        } else {
            out[i] = ErrorValue(tag, MAPI_E_NOT_FOUND);
            errors = true;
        }
        if (FAILED(hr)) {
            FreeWith(*tree_, out);
            return hr;
        }
    }
    *count = static_cast<ULONG>(wanted.size());
    *values = out;
    return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
}

template <typename Interface>
HRESULT PropObject<Interface>::GetPropList(ULONG flags, LPSPropTagArray* tags) noexcept {
    if (!tags) return MAPI_E_INVALID_PARAMETER;
    *tags = nullptr;
    std::vector<SPropValue> stored;
    if (HRESULT hr = props_->Values(stored); FAILED(hr)) return hr;
    const std::size_t count = Computed().size() + stored.size() + ObjectTags().size();
    SPropTagArray* out = nullptr;
    if (HRESULT hr = AllocateTagArray(*tree_, count, &out); FAILED(hr)) return hr;
    ULONG* next = out->aulPropTag;
    for (const SPropValue& v : Computed()) *next++ = v.ulPropTag;
    for (const SPropValue& v : stored) {
        *next++ = PROP_TAG(ResolvedType(PT_UNSPECIFIED, PROP_TYPE(v.ulPropTag), flags), PROP_ID(v.ulPropTag));
    }
    for (ULONG tag : ObjectTags()) *next++ = tag;
    *tags = out;
    return S_OK;
}

template <typename Interface>
HRESULT PropObject<Interface>::OpenProperty(ULONG tag, LPCIID iid, ULONG, ULONG flags,
                                            LPUNKNOWN* out) noexcept {
    if (!out || !iid) return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    if (*iid != IID_IStream) return MAPI_E_INTERFACE_NOT_SUPPORTED;
    IStream* stream = nullptr;
    HRESULT hr = OpenPropertyStream(this, *props_, CodePage(tag), tag, flags, &stream);
    if (SUCCEEDED(hr)) *out = stream;
    return hr;
}

template <typename Interface>
HRESULT PropObject<Interface>::SetProps(ULONG count, LPSPropValue values,
                                        LPSPropProblemArray* problems) noexcept {
    if (problems) *problems = nullptr;
    if (!values && count) return MAPI_E_INVALID_PARAMETER;
    return base::ReturnOr(
        [&] {
            std::vector<SPropProblem> found;
            for (ULONG i = 0; i < count; ++i) {
                const SPropValue& v = values[i];
                SCODE problem = S_OK;
                if (FindPropById(Computed(), v.ulPropTag)) {
                    problem = MAPI_E_COMPUTED;
                } else if (!SettableType(PROP_TYPE(v.ulPropTag))) {
                    problem = MAPI_E_INVALID_TYPE;
                } else if (HRESULT hr = props_->Set(v); FAILED(hr)) {
                    if (hr != MAPI_E_INVALID_TYPE) return hr;
                    problem = hr;
                }
                if (problem != S_OK) found.push_back({i, v.ulPropTag, problem});
            }
            return MakeProblemArray(found, *tree_, problems);
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

template <typename Interface>
HRESULT PropObject<Interface>::DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems) noexcept {
    if (problems) *problems = nullptr;
    if (!tags) return MAPI_E_INVALID_PARAMETER;
    return base::ReturnOr(
        [&] {
            std::vector<SPropProblem> found;
            for (ULONG i = 0; i < tags->cValues; ++i) {
                const ULONG tag = tags->aulPropTag[i];
                if (FindPropById(Computed(), tag)) {
                    found.push_back({i, tag, MAPI_E_COMPUTED});
                } else {
                    props_->Erase(tag);
                }
            }
            return MakeProblemArray(found, *tree_, problems);
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

template <typename Interface>
HRESULT PropObject<Interface>::GetIDsFromNames(ULONG count, LPMAPINAMEID* names, ULONG flags,
                                               LPSPropTagArray* tags) noexcept {
    if (!tags || (count && !names)) return MAPI_E_INVALID_PARAMETER;
    *tags = nullptr;
    NameMap& map = tree_->names;
    const bool all = count == 0;  // no names: every named property there is
    const std::size_t total = all ? map.names().size() : count;
    SPropTagArray* out = nullptr;
    if (HRESULT hr = AllocateTagArray(*tree_, total, &out); FAILED(hr)) return hr;
    bool errors = false;
    for (std::size_t i = 0; i < total; ++i) {
        ULONG id = all ? NameMap::kFirstId + static_cast<ULONG>(i) : 0;
        if (!all && names[i] && (flags & MAPI_CREATE)) {
            // A malformed name is an error entry; running out of ids or memory fails the call.
            if (HRESULT hr = map.FindOrAdd(*names[i], id); FAILED(hr) && hr != MAPI_E_INVALID_PARAMETER) {
                FreeWith(*tree_, out);
                return hr;
            }
        } else if (!all && names[i]) {
            id = map.Find(*names[i]);
        }
        errors = errors || id == 0;
        out->aulPropTag[i] = id ? PROP_TAG(PT_UNSPECIFIED, id) : PROP_TAG(PT_ERROR, 0);
    }
    *tags = out;
    return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
}

template <typename Interface>
HRESULT PropObject<Interface>::GetNamesFromIDs(LPSPropTagArray* tags, LPGUID guid, ULONG, ULONG* count,
                                               LPMAPINAMEID** names) noexcept {
    if (!tags || !count || !names) return MAPI_E_INVALID_PARAMETER;
    *count = 0;
    *names = nullptr;
    const NameMap& map = tree_->names;
    if (!*tags) {
        std::vector<ULONG> ids;
        if (!base::Completes([&] {
                for (std::size_t i = 0; i < map.names().size(); ++i) {
                    if (!guid || map.names()[i].guid == *guid)
                        ids.push_back(NameMap::kFirstId + static_cast<ULONG>(i));
                }
            })) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
        SPropTagArray* all = nullptr;
        if (HRESULT hr = AllocateTagArray(*tree_, ids.size(), &all); FAILED(hr)) return hr;
        for (std::size_t i = 0; i < ids.size(); ++i) all->aulPropTag[i] = PROP_TAG(PT_UNSPECIFIED, ids[i]);
        *tags = all;
    }
    const SPropTagArray& wanted = **tags;
    LPMAPINAMEID* out = nullptr;
    HRESULT hr =
        tree_->allocateBuffer(static_cast<ULONG>(std::max<ULONG>(wanted.cValues, 1) * sizeof(LPMAPINAMEID)),
                              reinterpret_cast<void**>(&out));
    bool errors = false;
    for (ULONG i = 0; SUCCEEDED(hr) && i < wanted.cValues; ++i) {
        out[i] = nullptr;
        const ULONG id = PROP_ID(wanted.aulPropTag[i]);
        const PropertyName* name = map.NameOf(id);
        if (!name && id >= NameMap::kFirstId) {
            errors = true;
            continue;
        }
        MAPINAMEID* entry = nullptr;
        GUID* entryGuid = nullptr;
        hr = tree_->allocateMore(sizeof(MAPINAMEID), out, reinterpret_cast<void**>(&entry));
        if (SUCCEEDED(hr)) hr = tree_->allocateMore(sizeof(GUID), out, reinterpret_cast<void**>(&entryGuid));
        if (FAILED(hr)) break;
        *entryGuid = name ? name->guid : PS_MAPI;
        entry->lpguid = entryGuid;
        entry->ulKind = name ? name->kind : MNID_ID;
        if (entry->ulKind == MNID_STRING) {
            const std::size_t bytes = (name->name.size() + 1) * sizeof(wchar_t);
            hr = tree_->allocateMore(static_cast<ULONG>(bytes), out,
                                     reinterpret_cast<void**>(&entry->Kind.lpwstrName));
            if (FAILED(hr)) break;
            std::copy_n(name->name.c_str(), name->name.size() + 1, entry->Kind.lpwstrName);
        } else {
            entry->Kind.lID = name ? name->id : static_cast<LONG>(id);
        }
        out[i] = entry;
    }
    if (FAILED(hr)) {
        FreeWith(*tree_, out);
        return hr;
    }
    *count = wanted.cValues;
    *names = out;
    return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
}

template class PropObject<IMessage>;
template class PropObject<IAttach>;

}  // namespace standin::msg
