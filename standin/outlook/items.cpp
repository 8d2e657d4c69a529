// _Items and the items of a folder. An item reads its message once, when it is
// made: its class decides whether it is a mail, and the message is what its
// MAPIOBJECT gives, the store's own IMessage (with the item's message faults).
#include <mapidefs.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <mutex>
#include <vector>

#include "base/mapi_buffer.h"
#include "standin/mapi/hex.h"
#include "standin/outlook/dispatch.h"
#include "standin/outlook/objects.h"
#include "standin/store/names.h"

namespace standin::outlook {
namespace {

// Outlook shows IPM.Note and the classes below it as mails; every other class
// (meeting requests, reports, appointments, contacts...) as other kinds of item.
constexpr std::wstring_view kMailClass = L"IPM.Note";

[[nodiscard]] bool IsMailClass(std::wstring_view messageClass) noexcept {
    if (messageClass.size() < kMailClass.size() ||
        !store::SameName(messageClass.substr(0, kMailClass.size()), kMailClass)) {
        return false;
    }
    return messageClass.size() == kMailClass.size() || messageClass[kMailClass.size()] == L'.';
}

// A text property of the message; MAPI_E_NOT_FOUND when it has none.
[[nodiscard]] HRESULT ReadText(IMessage* message, ULONG tag, std::wstring& text) {
    text.clear();
    base::UniqueMapiBuffer<SPropValue> value;
    const HRESULT hr = ::HrGetOneProp(message, tag, value.put());
    if (FAILED(hr)) return hr;
    if (value.get()->ulPropTag != tag) return MAPI_E_NOT_FOUND;
    text = value.get()->Value.lpszW;
    return S_OK;
}

class ItemObject final : public DispatchObject<ItemObject, _MailItem> {
public:
    // `message` is the item's message, or null with `openResult` the reason.
    ItemObject(store::Item item, base::ComPtr<IMessage> message, HRESULT openResult, bool isMail)
        : item_(std::move(item)), message_(std::move(message)), openResult_(openResult), isMail_(isMail) {}

    // Only a mail answers _MailItem.
    [[nodiscard]] std::span<const InterfaceEntry> Table() const noexcept override {
        return std::span(kDispatchInterfaces).first(isMail_ ? 2 : 1);
    }

    [[nodiscard]] HRESULT GetEntryID(Call& call) {
        if (Faulty(store::fault::kItemEntryId)) return store::kFaultResult;
        std::vector<BYTE> entryId;
        const HRESULT hr = item_.GetEntryId(entryId);
        if (FAILED(hr)) return hr;
        return call.ReturnText(mapi::HexText(entryId.data(), entryId.size()));
    }

    [[nodiscard]] HRESULT GetMessageClass(Call& call) { return ReturnTextProperty(call, PR_MESSAGE_CLASS_W); }
    [[nodiscard]] HRESULT GetSubject(Call& call) { return ReturnTextProperty(call, PR_SUBJECT_W); }

    // The item's IMessage, as IUnknown.
    [[nodiscard]] HRESULT GetMAPIOBJECT(Call& call) {
        if (Faulty(store::fault::kMapiObject)) return store::kFaultResult;
        if (!message_) return openResult_;
        return call.ReturnUnknown(message_.get());
    }

    static constexpr Member<ItemObject> kMembers[] = {
        {L"EntryID", 1, Access::Get, 0, 0, &ItemObject::GetEntryID},
        {L"MessageClass", 2, Access::Get, 0, 0, &ItemObject::GetMessageClass},
        {L"Subject", 3, Access::Get, 0, 0, &ItemObject::GetSubject},
        {L"MAPIOBJECT", 4, Access::Get, 0, 0, &ItemObject::GetMAPIOBJECT},
    };

private:
    [[nodiscard]] bool Faulty(uint32_t fault) const {
        uint32_t faults = 0;
        return SUCCEEDED(item_.GetFaults(faults)) && (faults & fault);
    }

    // An absent property reads as the empty text, as Outlook shows it.
    [[nodiscard]] HRESULT ReturnTextProperty(Call& call, ULONG tag) {
        if (!message_) return openResult_;
        std::wstring text;
        const HRESULT hr = ReadText(message_.get(), tag, text);
        if (FAILED(hr) && hr != MAPI_E_NOT_FOUND) return hr;
        return call.ReturnText(text);
    }

    const store::Item item_;
    const base::ComPtr<IMessage> message_;
    const HRESULT openResult_;
    const bool isMail_;
};

// An item collection reads the folder's items at GetFirst (or at a GetNext that
// comes first) and gives them one by one; Count reads the folder's current count.
class ItemsObject final : public DispatchObject<ItemsObject, _Items> {
public:
    explicit ItemsObject(store::Folder folder) : folder_(std::move(folder)) {}

    [[nodiscard]] HRESULT GetCount(Call& call) {
        std::vector<store::Item> items;
        const HRESULT hr = folder_.GetItems(items);
        if (FAILED(hr)) return hr;
        return call.ReturnLong(static_cast<long>(items.size()));
    }

    [[nodiscard]] HRESULT GetFirst(Call& call) {
        const std::unique_lock lock(lock_);
        const HRESULT hr = Load();
        if (FAILED(hr)) return hr;
        return ReturnNext(call, lock);
    }

    // The next item, or "Nothing" after the last.
    [[nodiscard]] HRESULT GetNext(Call& call) {
        const std::unique_lock lock(lock_);
        if (!loaded_) {
            const HRESULT hr = Load();
            if (FAILED(hr)) return hr;
        }
        return ReturnNext(call, lock);
    }

    static constexpr Member<ItemsObject> kMembers[] = {
        {L"Count", 1, Access::Get, 0, 0, &ItemsObject::GetCount},
        {L"GetFirst", 2, Access::Method, 0, 0, &ItemsObject::GetFirst},
        {L"GetNext", 3, Access::Method, 0, 0, &ItemsObject::GetNext},
    };

private:
    // Under lock_.
    [[nodiscard]] HRESULT Load() {
        std::vector<store::Item> items;
        const HRESULT hr = folder_.GetItems(items);
        if (FAILED(hr)) return hr;
        items_ = std::move(items);
        next_ = 0;
        loaded_ = true;
        return S_OK;
    }

    [[nodiscard]] HRESULT ReturnNext(Call& call, const std::unique_lock<std::mutex>&) {
        if (next_ >= items_.size()) return call.ReturnObject(nullptr);
        base::ComPtr<IDispatch> object;
        const HRESULT hr = NewItem(items_[next_++], object);
        if (FAILED(hr)) return hr;
        return call.ReturnObject(object.get());
    }

    const store::Folder folder_;
    std::mutex lock_;
    std::vector<store::Item> items_;  // under lock_, as the two below
    size_t next_ = 0;
    bool loaded_ = false;
};

}  // namespace

HRESULT NewItems(store::Folder folder, base::ComPtr<_Items>& out) {
    return MakeObject<ItemsObject>(out, std::move(folder));
}

HRESULT NewItem(const store::Item& item, base::ComPtr<IDispatch>& out) {
    base::ComPtr<IMessage> message;
    const HRESULT openResult = item.Open(message);
    std::wstring messageClass;
    const bool isMail = SUCCEEDED(openResult) &&
                        SUCCEEDED(ReadText(message.get(), PR_MESSAGE_CLASS_W, messageClass)) &&
                        IsMailClass(messageClass);
    return MakeObject<ItemObject>(out, item, std::move(message), openResult, isMail);
}

}  // namespace standin::outlook
