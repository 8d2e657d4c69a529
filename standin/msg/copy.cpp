#include "standin/msg/copy.h"

#include "base/boundary.h"
#include "base/com.h"
#include "base/mapi_buffer.h"
#include "standin/mapi/props.h"

#include <cstring>
#include <cwchar>
#include <map>
#include <new>

namespace standin::msg {
namespace {

// Renames named property ids of the source to the destination's ids, asking
// the destination once per name.
class NameTranslator {
public:
    NameTranslator(const NameMap& names, IMAPIProp* destination) noexcept
        : names_(names), destination_(destination) {}

    // The destination's tag for `tag`; the tag itself when it is not named or
    // its name is unknown.
    [[nodiscard]] HRESULT Translate(ULONG tag, ULONG& translated) {
        translated = tag;
        const PropertyName* name = names_.NameOf(PROP_ID(tag));
        if (!name) return S_OK;
        if (const auto known = ids_.find(PROP_ID(tag)); known != ids_.end()) {
            translated = PROP_TAG(PROP_TYPE(tag), known->second);
            return S_OK;
        }
        GUID guid = name->guid;
        MAPINAMEID id{&guid, name->kind, {}};
        if (name->kind == MNID_STRING) {
            id.Kind.lpwstrName = const_cast<wchar_t*>(name->name.c_str());
        } else {
            id.Kind.lID = name->id;
        }
        LPMAPINAMEID list[] = {&id};
        base::UniqueMapiBuffer<SPropTagArray> tags;
        HRESULT hr = destination_->GetIDsFromNames(1, list, MAPI_CREATE, tags.put());
        if (FAILED(hr)) return hr;
        if (!tags || tags.get()->cValues != 1 || PROP_TYPE(tags.get()->aulPropTag[0]) == PT_ERROR) {
            return MAPI_E_CALL_FAILED;
        }
        ids_[PROP_ID(tag)] = PROP_ID(tags.get()->aulPropTag[0]);
        translated = PROP_TAG(PROP_TYPE(tag), PROP_ID(tags.get()->aulPropTag[0]));
        return S_OK;
    }

private:
    const NameMap& names_;
    IMAPIProp* destination_;
    std::map<ULONG, ULONG> ids_;
};

// The values of `props` that go, under the destination's tags.
[[nodiscard]] HRESULT SelectValues(const PropertySet& props, const CopySelection& selection,
                                   NameTranslator& translator, std::vector<SPropValue>& values) {
    std::vector<SPropValue> stored;
    if (HRESULT hr = props.Values(stored); FAILED(hr)) return hr;
    values.clear();
    for (SPropValue v : stored) {
        if (!selection.Takes(v.ulPropTag)) continue;
        if (HRESULT hr = translator.Translate(v.ulPropTag, v.ulPropTag); FAILED(hr)) return hr;
        values.push_back(v);
    }
    return S_OK;
}

// Writes one value through an OpenProperty stream, for destinations that keep
// large values only that way.
[[nodiscard]] HRESULT StreamValue(IMAPIProp* destination, const SPropValue& v) {
    const void* data = nullptr;
    ULONG size = 0;
    switch (PROP_TYPE(v.ulPropTag)) {
    case PT_STRING8:
        data = v.Value.lpszA;
        size = static_cast<ULONG>(std::strlen(v.Value.lpszA));
        break;
    case PT_UNICODE:
        data = v.Value.lpszW;
        size = static_cast<ULONG>(std::wcslen(v.Value.lpszW) * sizeof(wchar_t));
        break;
    case PT_BINARY:
        data = v.Value.bin.lpb;
        size = v.Value.bin.cb;
        break;
    default:
        return MAPI_E_NOT_ENOUGH_MEMORY;  // no stream form: the destination's refusal stands
    }
    base::ComPtr<IUnknown> unknown;
    HRESULT hr = destination->OpenProperty(v.ulPropTag, &IID_IStream, STGM_WRITE, MAPI_CREATE | MAPI_MODIFY,
                                           unknown.put());
    if (FAILED(hr)) return hr;
    base::ComPtr<IStream> stream;
    if (FAILED(hr = unknown->QueryInterface(IID_IStream, stream.put_void()))) return hr;
    ULONG written = 0;
    if (size && FAILED(hr = stream->Write(data, size, &written))) return hr;
    return stream->Commit(STGC_DEFAULT);
}

// Sets the selected properties on the destination; problems it reports for
// values too large for SetProps are retried through streams.
[[nodiscard]] HRESULT CopyProperties(const PropertySet& props, const CopySelection& selection,
                                     NameTranslator& translator, IMAPIProp* destination,
                                     std::vector<SPropProblem>& problems) {
    std::vector<SPropValue> values;
    if (HRESULT hr = SelectValues(props, selection, translator, values); FAILED(hr)) return hr;
    if (values.empty()) return S_OK;
    base::UniqueMapiBuffer<SPropProblemArray> reported;
    HRESULT hr = destination->SetProps(static_cast<ULONG>(values.size()), values.data(), reported.put());
    if (FAILED(hr)) return hr;
    for (ULONG i = 0; reported && i < reported.get()->cProblem; ++i) {
        SPropProblem problem = reported.get()->aProblem[i];
        const bool tooLarge = problem.scode == MAPI_E_NOT_ENOUGH_MEMORY || problem.scode == MAPI_E_TOO_BIG;
        if (tooLarge && problem.ulIndex < values.size()) {
            problem.scode = StreamValue(destination, values[problem.ulIndex]);
            if (SUCCEEDED(problem.scode)) continue;
        }
        problems.push_back(problem);
    }
    return S_OK;
}

// An address list handed to ModifyRecipients: the callee may replace entries'
// value arrays, so each is a MAPI buffer of its own and all are freed after.
class AddressList {
public:
    AddressList() noexcept = default;
    AddressList(const AddressList&) = delete;
    AddressList& operator=(const AddressList&) = delete;
    ~AddressList() {
        if (!list_) return;
        for (ULONG i = 0; i < list_.get()->cEntries; ++i)
            ::MAPIFreeBuffer(list_.get()->aEntries[i].rgPropVals);
    }

    [[nodiscard]] HRESULT Allocate(std::size_t count) noexcept {
        HRESULT hr = ::MAPIAllocateBuffer(CbNewADRLIST(count), reinterpret_cast<void**>(list_.put()));
        if (SUCCEEDED(hr)) list_.get()->cEntries = 0;
        return hr;
    }
    [[nodiscard]] HRESULT Add(const std::vector<SPropValue>& values) noexcept {
        ADRENTRY& entry = list_.get()->aEntries[list_.get()->cEntries];
        entry.ulReserved1 = 0;
        entry.cValues = static_cast<ULONG>(values.size());
        HRESULT hr = CopyPropArray(values, &entry.rgPropVals);
        if (SUCCEEDED(hr)) ++list_.get()->cEntries;
        return hr;
    }
    [[nodiscard]] ADRLIST* get() const noexcept { return list_.get(); }

private:
    base::UniqueMapiBuffer<ADRLIST> list_;
};

[[nodiscard]] HRESULT CopyRecipients(const MessageData& source, NameTranslator& translator,
                                     IMessage* destination) {
    AddressList list;
    if (HRESULT hr = list.Allocate(source.recipients.size()); FAILED(hr)) return hr;
    // Row ids are the destination's to give.
    const SizedSPropTagArray(1, rowId) = {1, {PR_ROWID}};
    const CopySelection withoutRowId{reinterpret_cast<const SPropTagArray*>(&rowId), false};
    for (const RecipientData& recipient : source.recipients) {
        std::vector<SPropValue> values;
        if (HRESULT hr = SelectValues(recipient.props, withoutRowId, translator, values); FAILED(hr))
            return hr;
        if (HRESULT hr = list.Add(values); FAILED(hr)) return hr;
    }
    return destination->ModifyRecipients(0, list.get());
}

[[nodiscard]] HRESULT CopyAttachments(const MessageData& source, const NameMap& names,
                                      IMessage* destination) {
    const CopySelection everything;
    for (const auto& [number, attachment] : source.attachments) {
        ULONG created = 0;
        base::ComPtr<IAttach> target;
        HRESULT hr = destination->CreateAttach(nullptr, 0, &created, target.put());
        if (FAILED(hr)) return hr;
        std::vector<SPropProblem> ignored;  // problems of inner objects are not the caller's
        if (FAILED(hr = CopyAttachmentInto(attachment, names, everything, target.get(), ignored))) return hr;
        if (FAILED(hr = target->SaveChanges(KEEP_OPEN_READWRITE))) return hr;
    }
    return S_OK;
}

[[nodiscard]] HRESULT CopyMessage(const MessageData& source, const NameMap& names,
                                  const CopySelection& selection, IMessage* destination,
                                  std::vector<SPropProblem>& problems) {
    NameTranslator translator(names, destination);
    if (HRESULT hr = CopyProperties(source.props, selection, translator, destination, problems); FAILED(hr)) {
        return hr;
    }
    if (selection.Takes(PR_MESSAGE_RECIPIENTS)) {
        if (HRESULT hr = CopyRecipients(source, translator, destination); FAILED(hr)) return hr;
    }
    if (selection.Takes(PR_MESSAGE_ATTACHMENTS)) return CopyAttachments(source, names, destination);
    return S_OK;
}

[[nodiscard]] HRESULT CopyAttachment(const AttachmentData& source, const NameMap& names,
                                     const CopySelection& selection, IAttach* destination,
                                     std::vector<SPropProblem>& problems) {
    NameTranslator translator(names, destination);
    if (HRESULT hr = CopyProperties(source.props, selection, translator, destination, problems); FAILED(hr)) {
        return hr;
    }
    if (!source.embedded || !selection.Takes(PR_ATTACH_DATA_OBJ)) return S_OK;
    base::ComPtr<IUnknown> unknown;
    HRESULT hr = destination->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY,
                                           unknown.put());
    if (FAILED(hr)) return hr;
    base::ComPtr<IMessage> embedded;
    if (FAILED(hr = unknown->QueryInterface(IID_IMessage, embedded.put_void()))) return hr;
    std::vector<SPropProblem> ignored;
    if (FAILED(hr = CopyMessage(*source.embedded, names, CopySelection{}, embedded.get(), ignored)))
        return hr;
    return embedded->SaveChanges(KEEP_OPEN_READWRITE);
}

template <typename Work>
[[nodiscard]] HRESULT OutOfMemoryAsError(Work work) noexcept {
    return base::ReturnOr([&] { return work(); }, MAPI_E_NOT_ENOUGH_MEMORY);
}

}  // namespace

bool CopySelection::Takes(ULONG tag) const noexcept {
    bool listed = false;
    for (ULONG i = 0; tags && i < tags->cValues && !listed; ++i)
        listed = PROP_ID(tags->aulPropTag[i]) == PROP_ID(tag);
    return include ? listed : !listed;
}

HRESULT CopyMessageInto(const MessageData& source, const NameMap& names, const CopySelection& selection,
                        IMessage* destination, std::vector<SPropProblem>& problems) noexcept {
    return OutOfMemoryAsError([&] { return CopyMessage(source, names, selection, destination, problems); });
}

HRESULT CopyAttachmentInto(const AttachmentData& source, const NameMap& names, const CopySelection& selection,
                           IAttach* destination, std::vector<SPropProblem>& problems) noexcept {
    return OutOfMemoryAsError(
        [&] { return CopyAttachment(source, names, selection, destination, problems); });
}

}  // namespace standin::msg
