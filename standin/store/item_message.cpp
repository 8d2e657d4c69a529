#include "standin/store/item_message.h"

#include <mapicode.h>
#include <mapiutil.h>
#include <mapix.h>
#include <imessage.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <new>
#include <vector>

#include "base/boundary.h"
#include "base/com_object.h"
#include "base/mapi_row_set.h"
#include "base/msg_session.h"
#include "standin/store/files.h"

namespace standin::store {

namespace {

// {00020D0B-0000-0000-C000-000000000046}: the root class of a message file.
constexpr CLSID kClsidMailMessage = {0x00020d0b, 0, 0, {0xc0, 0, 0, 0, 0, 0, 0, 0x46}};
// Direct mode: the message layer writes the whole message at each save, and only a
// save that succeeded reaches the disk, so a transaction would add nothing. Under
// Wine a transacted storage keeps its snapshot in a scratch file on disk: a file
// created, locked and resized for every message opened or made.
constexpr DWORD kStorageMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

[[nodiscard]] HRESULT MemoryStorage(const std::vector<BYTE>* bytes, base::ComPtr<ILockBytes>& lockBytes,
                                    base::ComPtr<IStorage>& storage) {
    HGLOBAL memory = nullptr;
    if (bytes) {
        memory = GlobalAlloc(GMEM_MOVEABLE, bytes->empty() ? 1 : bytes->size());
        if (!memory) return MAPI_E_NOT_ENOUGH_MEMORY;
        if (void* at = GlobalLock(memory)) {
            if (!bytes->empty()) std::memcpy(at, bytes->data(), bytes->size());
            GlobalUnlock(memory);
        }
    }
    // The lock bytes own the memory from here on (fDeleteOnRelease).
    HRESULT hr = CreateILockBytesOnHGlobal(memory, TRUE, lockBytes.put());
    if (FAILED(hr)) {
        if (memory) GlobalFree(memory);
        return hr;
    }
    if (bytes) {
        ULARGE_INTEGER size;
        size.QuadPart = bytes->size();
        hr = lockBytes->SetSize(size);
        if (FAILED(hr)) return hr;
        hr = StgOpenStorageOnILockBytes(lockBytes.get(), nullptr, kStorageMode, nullptr, 0, storage.put());
        // Anything but a compound file with a message inside is not an item.
        return FAILED(hr) && hr != E_OUTOFMEMORY ? MAPI_E_CORRUPT_DATA : hr;
    }
    hr = StgCreateDocfileOnILockBytes(lockBytes.get(), STGM_CREATE | kStorageMode, 0, storage.put());
    if (FAILED(hr)) return hr;
    return WriteClassStg(storage.get(), kClsidMailMessage);
}

[[nodiscard]] HRESULT LockBytesContents(ILockBytes* lockBytes, std::vector<BYTE>& bytes) {
    STATSTG stat{};
    HRESULT hr = lockBytes->Stat(&stat, STATFLAG_NONAME);
    if (FAILED(hr)) return hr;
    HGLOBAL memory = nullptr;
    hr = GetHGlobalFromILockBytes(lockBytes, &memory);
    if (FAILED(hr)) return hr;
    const void* at = GlobalLock(memory);
    if (!at) return MAPI_E_CALL_FAILED;
    bytes.assign(static_cast<const BYTE*>(at), static_cast<const BYTE*>(at) + stat.cbSize.QuadPart);
    GlobalUnlock(memory);
    return S_OK;
}

// Properties the message file does not hold but the store knows.
constexpr ULONG kStoreProperties[] = {PR_ENTRYID, PR_PARENT_ENTRYID, PR_STORE_ENTRYID};

// The properties fault::kErrorValue makes unreadable: PR_INTERNET_MESSAGE_ID, PR_CLIENT_SUBMIT_TIME.
constexpr ULONG kErrorValueIds[] = {0x1035, 0x0039};

// The error a fault puts in place of the value asked for by `tag`; S_OK for none.
[[nodiscard]] SCODE FaultError(uint32_t faults, ULONG tag) noexcept {
    if ((faults & fault::kString8) && PROP_TYPE(tag) == PT_STRING8) return MAPI_E_BAD_CHARWIDTH;
    const bool unreadable = std::find(std::begin(kErrorValueIds), std::end(kErrorValueIds), PROP_ID(tag)) !=
                            std::end(kErrorValueIds);
    return (faults & fault::kErrorValue) && unreadable ? MAPI_E_NOT_ENOUGH_MEMORY : S_OK;
}

// The display lists a store keeps from the recipient table, by recipient type.
struct DisplayList {
    LONG recipientType;
    ULONG tag;
};
constexpr DisplayList kDisplayLists[] = {
    {MAPI_TO, PR_DISPLAY_TO_W},
    {MAPI_CC, PR_DISPLAY_CC_W},
    {MAPI_BCC, PR_DISPLAY_BCC_W},
};
constexpr wchar_t kDisplayListSeparator[] = L"; ";

class ItemMessage final : public base::FreeThreadedComObject<IMessage> {
public:
    ItemMessage(Folder folder, Item item, uint32_t faults, uint32_t sizeLimit, bool writable)
        : folder_(std::move(folder)),
          item_(std::move(item)),
          faults_(faults),
          sizeLimit_(sizeLimit),
          writable_(writable) {}

    [[nodiscard]] HRESULT Initialize(const std::vector<BYTE>* bytes) {
        HRESULT hr = MemoryStorage(bytes, lockBytes_, storage_);
        if (FAILED(hr)) return hr;
        hr = OpenIMsgSession(MAPIGetDefaultMalloc(), 0, session_.put());
        if (FAILED(hr)) return hr;
        hr = OpenIMsgOnIStg(session_.get(), MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer,
                            MAPIGetDefaultMalloc(), nullptr, storage_.get(), nullptr, 0, MAPI_UNICODE,
                            inner_.put());
        return FAILED(hr) && bytes && hr != MAPI_E_NOT_ENOUGH_MEMORY ? MAPI_E_CORRUPT_DATA : hr;
    }

    ~ItemMessage() override {
        inner_.reset();  // before its session closes
    }

    [[nodiscard]] std::span<const InterfaceEntry> Table() const noexcept override {
        static constexpr InterfaceEntry kInterfaces[] = {{&IID_IMAPIProp}, {&IID_IMessage}};
        return kInterfaces;
    }

    // IMAPIProp
    STDMETHODIMP GetLastError(HRESULT hr, ULONG flags, LPMAPIERROR* error) noexcept override {
        return inner_->GetLastError(hr, flags, error);
    }
    STDMETHODIMP SaveChanges(ULONG flags) noexcept override;
    STDMETHODIMP GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count,
                          LPSPropValue* values) noexcept override;
    STDMETHODIMP GetPropList(ULONG flags, LPSPropTagArray* tags) noexcept override {
        return inner_->GetPropList(flags, tags);
    }
    STDMETHODIMP OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags,
                              LPUNKNOWN* unknown) noexcept override {
        if (!writable_ && (flags & (MAPI_MODIFY | MAPI_CREATE))) return MAPI_E_NO_ACCESS;
        return inner_->OpenProperty(tag, iid, options, flags, unknown);
    }
    STDMETHODIMP SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) noexcept override {
        if (!writable_) return MAPI_E_NO_ACCESS;
        return inner_->SetProps(count, values, problems);
    }
    STDMETHODIMP DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems) noexcept override {
        if (!writable_) return MAPI_E_NO_ACCESS;
        return inner_->DeleteProps(tags, problems);
    }
    STDMETHODIMP CopyTo(ULONG excludedInterfaceCount, LPCIID excludedInterfaces,
                        LPSPropTagArray excludedProps, ULONG uiParam, LPMAPIPROGRESS progress, LPCIID iid,
                        LPVOID destination, ULONG flags, LPSPropProblemArray* problems) noexcept override {
        if (faults_ & fault::kCopyTo) return kFaultResult;
        return inner_->CopyTo(excludedInterfaceCount, excludedInterfaces, excludedProps, uiParam, progress,
                              iid, destination, flags, problems);
    }
    STDMETHODIMP CopyProps(LPSPropTagArray included, ULONG uiParam, LPMAPIPROGRESS progress, LPCIID iid,
                           LPVOID destination, ULONG flags, LPSPropProblemArray* problems) noexcept override {
        if (faults_ & fault::kCopyTo) return kFaultResult;
        return inner_->CopyProps(included, uiParam, progress, iid, destination, flags, problems);
    }
    STDMETHODIMP GetNamesFromIDs(LPSPropTagArray* tags, LPGUID guid, ULONG flags, ULONG* count,
                                 LPMAPINAMEID** names) noexcept override {
        return inner_->GetNamesFromIDs(tags, guid, flags, count, names);
    }
    STDMETHODIMP GetIDsFromNames(ULONG count, LPMAPINAMEID* names, ULONG flags,
                                 LPSPropTagArray* tags) noexcept override {
        return inner_->GetIDsFromNames(count, names, flags, tags);
    }

    // IMessage
    STDMETHODIMP GetAttachmentTable(ULONG flags, LPMAPITABLE* table) noexcept override {
        return inner_->GetAttachmentTable(flags, table);
    }
    STDMETHODIMP OpenAttach(ULONG number, LPCIID iid, ULONG flags, LPATTACH* attach) noexcept override {
        if (!writable_ && (flags & MAPI_MODIFY)) return MAPI_E_NO_ACCESS;
        return inner_->OpenAttach(number, iid, flags, attach);
    }
    STDMETHODIMP CreateAttach(LPCIID iid, ULONG flags, ULONG* number, LPATTACH* attach) noexcept override {
        if (!writable_) return MAPI_E_NO_ACCESS;
        return inner_->CreateAttach(iid, flags, number, attach);
    }
    STDMETHODIMP DeleteAttach(ULONG number, ULONG uiParam, LPMAPIPROGRESS progress,
                              ULONG flags) noexcept override {
        if (!writable_) return MAPI_E_NO_ACCESS;
        return inner_->DeleteAttach(number, uiParam, progress, flags);
    }
    STDMETHODIMP GetRecipientTable(ULONG flags, LPMAPITABLE* table) noexcept override {
        return inner_->GetRecipientTable(flags, table);
    }
    STDMETHODIMP ModifyRecipients(ULONG flags, LPADRLIST recipients) noexcept override {
        if (!writable_) return MAPI_E_NO_ACCESS;
        return inner_->ModifyRecipients(flags, recipients);
    }
    STDMETHODIMP SubmitMessage(ULONG flags) noexcept override {
        if (!writable_) return MAPI_E_NO_ACCESS;
        return inner_->SubmitMessage(flags);
    }
    STDMETHODIMP SetReadFlag(ULONG flags) noexcept override {
        if (!writable_) return MAPI_E_NO_ACCESS;
        return inner_->SetReadFlag(flags);
    }

private:
    [[nodiscard]] HRESULT SetDisplayLists();
    [[nodiscard]] HRESULT WriteItem();
    [[nodiscard]] HRESULT StoreProperty(ULONG tag, void* parent, SPropValue& value);

    const Folder folder_;
    std::mutex lock_;  // one SaveChanges at a time; guards item_
    Item item_;        // null until a new message is first saved
    const uint32_t faults_;
    const uint32_t sizeLimit_;  // ProfileSettings::propertySizeLimit
    const bool writable_;
    base::ComPtr<ILockBytes> lockBytes_;
    base::ComPtr<IStorage> storage_;
    base::UniqueMsgSession session_;
    base::ComPtr<IMessage> inner_;
};

HRESULT ItemMessage::SaveChanges(ULONG flags) noexcept {
    if (!writable_) return MAPI_E_NO_ACCESS;
    if (faults_ & fault::kSaveChanges) return kFaultResult;
    const std::lock_guard lock(lock_);
    HRESULT hr = SetDisplayLists();
    if (FAILED(hr)) return hr;
    hr = inner_->SaveChanges(flags);
    if (FAILED(hr)) return hr;
    hr = storage_->Commit(STGC_DEFAULT);
    if (FAILED(hr)) return hr;
    return WriteItem();
}

HRESULT ItemMessage::SetDisplayLists() {
    return base::ReturnOr(
        [&] {
            base::ComPtr<IMAPITable> table;
            HRESULT hr = inner_->GetRecipientTable(MAPI_UNICODE, table.put());
            if (FAILED(hr)) return hr;
            SizedSPropTagArray(2, columns) = {2, {PR_RECIPIENT_TYPE, PR_DISPLAY_NAME_W}};
            base::UniqueRowSet rows;
            hr = ::HrQueryAllRows(table.get(), reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr,
                                  0, rows.put());
            if (FAILED(hr)) return hr;
            std::wstring lists[std::size(kDisplayLists)];
            for (ULONG r = 0; r < rows.get()->cRows; ++r) {
                const SRow& row = rows.get()->aRow[r];
                if (row.cValues < 2 || row.lpProps[0].ulPropTag != PR_RECIPIENT_TYPE ||
                    row.lpProps[1].ulPropTag != PR_DISPLAY_NAME_W) {
                    continue;  // no type or no name: on no list
                }
                const LONG type = row.lpProps[0].Value.l & ~(MAPI_SUBMITTED | MAPI_P1);
                for (size_t l = 0; l < std::size(kDisplayLists); ++l) {
                    if (kDisplayLists[l].recipientType != type) continue;
                    if (!lists[l].empty()) lists[l] += kDisplayListSeparator;
                    lists[l] += row.lpProps[1].Value.lpszW;
                }
            }
            SPropValue values[std::size(kDisplayLists)] = {};
            for (size_t l = 0; l < std::size(kDisplayLists); ++l) {
                values[l].ulPropTag = kDisplayLists[l].tag;
                values[l].Value.lpszW = lists[l].data();
            }
            return inner_->SetProps(static_cast<ULONG>(std::size(values)), values, nullptr);
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT ItemMessage::WriteItem() {
    return base::ReturnOr(
        [&] {
            std::vector<BYTE> bytes;
            HRESULT hr = LockBytesContents(lockBytes_.get(), bytes);
            if (FAILED(hr)) return hr;
            if (!item_) return folder_.AddItemFile(bytes.data(), bytes.size(), item_);
            // Saving an item that was deleted or moved meanwhile would bring it back.
            if (!IsFile(item_.path())) return MAPI_E_OBJECT_DELETED;
            return WriteFileAtomically(item_.path(), bytes.data(), bytes.size(), true,
                                       folder_.store().profile()->path());
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT ItemMessage::StoreProperty(ULONG tag, void* parent, SPropValue& value) {
    std::vector<BYTE> bytes;
    HRESULT hr = MAPI_E_NOT_FOUND;
    {
        const std::lock_guard lock(lock_);
        switch (tag) {
        case PR_ENTRYID:
            if (item_) hr = item_.GetEntryId(bytes);
            break;
        case PR_PARENT_ENTRYID:
            hr = folder_.GetEntryId(bytes);
            break;
        case PR_STORE_ENTRYID:
            hr = folder_.store().GetEntryId(bytes);
            break;
        default:
            break;
        }
    }
    if (FAILED(hr)) return hr;
    void* copy = nullptr;
    hr = MAPIAllocateMore(static_cast<ULONG>(bytes.size()), parent, &copy);
    if (FAILED(hr)) return hr;
    std::memcpy(copy, bytes.data(), bytes.size());
    value.ulPropTag = tag;
    value.Value.bin.cb = static_cast<ULONG>(bytes.size());
    value.Value.bin.lpb = static_cast<BYTE*>(copy);
    return S_OK;
}

// The size of a string or binary value as GetProps hands it out; 0 for others.
[[nodiscard]] std::size_t ValueSize(const SPropValue& value) noexcept {
    switch (PROP_TYPE(value.ulPropTag)) {
    case PT_STRING8:
        return value.Value.lpszA ? std::strlen(value.Value.lpszA) + 1 : 0;
    case PT_UNICODE:
        return value.Value.lpszW ? (std::wcslen(value.Value.lpszW) + 1) * sizeof(wchar_t) : 0;
    case PT_BINARY:
        return value.Value.bin.cb;
    default:
        return 0;
    }
}

HRESULT ItemMessage::GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count,
                              LPSPropValue* values) noexcept {
    return base::ReturnOr(
        [&] {
            HRESULT hr = inner_->GetProps(tags, flags, count, values);
            if (FAILED(hr) || !values || !*values) return hr;
            bool errorsLeft = false;
            for (ULONG i = 0; i < *count; ++i) {
                SPropValue& value = (*values)[i];
                // A value above the profile's limit comes back as an error, to be read with
                // OpenProperty ("PRB: IMAPIProp::GetProps May Return Truncated Data for
                // PR_BODY"; "2.4.2 Property Error Codes": NotEnoughMemory on get).
                if (ValueSize(value) > sizeLimit_) {
                    value.ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(value.ulPropTag));
                    value.Value.err = MAPI_E_NOT_ENOUGH_MEMORY;
                }
                const ULONG wanted = tags ? tags->aulPropTag[i] : value.ulPropTag;
                const bool ours =
                    std::find(std::begin(kStoreProperties), std::end(kStoreProperties),
                              CHANGE_PROP_TYPE(wanted, PT_BINARY)) != std::end(kStoreProperties);
                if (tags && ours && PROP_TYPE(value.ulPropTag) == PT_ERROR) {
                    (void)StoreProperty(CHANGE_PROP_TYPE(wanted, PT_BINARY), *values, value);
                }
                if (const SCODE error = FaultError(faults_, wanted); FAILED(error)) {
                    value.ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(wanted));
                    value.Value.err = error;
                }
                errorsLeft = errorsLeft || PROP_TYPE(value.ulPropTag) == PT_ERROR;
            }
            return errorsLeft ? MAPI_W_ERRORS_RETURNED : S_OK;
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

}  // namespace

HRESULT OpenItemMessage(const Folder& folder, const Item* item, uint32_t faults, bool writable,
                        base::ComPtr<IMessage>& message) {
    return base::ReturnOr(
        [&] {
            std::vector<BYTE> bytes;
            if (item) {
                const HRESULT hr = ReadFileBytes(item->path(), bytes);
                if (FAILED(hr)) return hr;
            }
            ProfileSettings settings;
            if (const HRESULT hr = folder.store().profile()->GetSettings(settings); FAILED(hr)) return hr;
            base::ComPtr<ItemMessage> created(
                new ItemMessage(folder, item ? *item : Item(), faults, settings.propertySizeLimit, writable));
            const HRESULT hr = created->Initialize(item ? &bytes : nullptr);
            if (FAILED(hr)) return hr;
            message.reset(created.detach());
            return S_OK;
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT Folder::CreateMessage(base::ComPtr<IMessage>& message) const {
    FolderInfo info;
    const HRESULT hr = GetInfo(info);
    if (FAILED(hr)) return hr;
    return OpenItemMessage(*this, nullptr, info.messageFaults, true, message);
}

HRESULT Item::Open(base::ComPtr<IMessage>& message, bool writable) const {
    uint32_t faults = 0;
    const HRESULT hr = GetFaults(faults);
    if (FAILED(hr)) return hr;
    return OpenItemMessage(folder_, this, faults, writable, message);
}

}  // namespace standin::store
