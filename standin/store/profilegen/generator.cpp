#include "standin/store/profilegen/generator.h"

#include "standin/mapi/mapi.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <set>
#include <thread>

#include "base/boundary.h"
#include "base/mapi_buffer.h"
#include "standin/mapi/strings.h"
#include "standin/store/entry_id.h"
#include "standin/store/files.h"
#include "standin/store/names.h"
#include "standin/store/profile.h"

namespace standin::profilegen {

namespace {

using store::Folder;

constexpr wchar_t kDefaultClass[] = L"IPM.Note";
constexpr wchar_t kDefaultFrom[] = L"Demo Sender <sender@example.org>";
constexpr wchar_t kDefaultTo[] = L"Demo User <demo@example.org>";
constexpr wchar_t kNone[] = L"none";
constexpr wchar_t kAddressType[] = L"SMTP";
constexpr wchar_t kEmbeddedBody[] = L"The attached message.";
constexpr UINT kAnsiCodePage = 1252;
// Items without a date follow one another from here, an hour apart.
constexpr SYSTEMTIME kFirstDate = {2023, 1, 1, 2, 8, 0, 0, 0};
constexpr ULONGLONG kHour = 36'000'000'000ULL;  // in FILETIME units
constexpr ULONGLONG kDeliveryDelay = kHour / 60;
constexpr ULONG PR_INTERNET_MESSAGE_ID_W = PROP_TAG(PT_UNICODE, 0x1035);

// Folder names compare ignoring case, as the store compares them.
std::wstring UpperCase(std::wstring text) {
    if (!text.empty()) CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

std::wstring Substitute(std::wstring text, uint32_t n) {
    const std::wstring placeholder = L"{n}", value = std::to_wstring(n);
    for (size_t at = text.find(placeholder); at != std::wstring::npos;
         at = text.find(placeholder, at + value.size())) {
        text.replace(at, placeholder.size(), value);
    }
    return text;
}

struct Address {
    std::wstring name;
    std::wstring email;
};

// "Name <address>" or a bare address.
Address ParseAddress(std::wstring_view text) {
    while (!text.empty() && text.front() == L' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == L' ') text.remove_suffix(1);
    const size_t open = text.rfind(L'<');
    if (open == std::wstring_view::npos || text.back() != L'>')
        return {std::wstring(text), std::wstring(text)};
    std::wstring_view name = text.substr(0, open);
    while (!name.empty() && name.back() == L' ') name.remove_suffix(1);
    const std::wstring email(text.substr(open + 1, text.size() - open - 2));
    return {name.empty() ? email : std::wstring(name), email};
}

std::vector<Address> ParseAddresses(std::wstring_view text) {
    std::vector<Address> addresses;
    while (!text.empty()) {
        const size_t semicolon = text.find(L';');
        const std::wstring_view one = text.substr(0, semicolon);
        if (one.find_first_not_of(L' ') != std::wstring_view::npos) addresses.push_back(ParseAddress(one));
        text = semicolon == std::wstring_view::npos ? std::wstring_view() : text.substr(semicolon + 1);
    }
    return addresses;
}

bool ParseDate(const std::wstring& text, FILETIME& time) {
    SYSTEMTIME parts{};
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (swscanf(text.c_str(), L"%4u-%2u-%2uT%2u:%2u:%2u", &year, &month, &day, &hour, &minute, &second) !=
        6) {
        return false;
    }
    parts.wYear = static_cast<WORD>(year);
    parts.wMonth = static_cast<WORD>(month);
    parts.wDay = static_cast<WORD>(day);
    parts.wHour = static_cast<WORD>(hour);
    parts.wMinute = static_cast<WORD>(minute);
    parts.wSecond = static_cast<WORD>(second);
    return SystemTimeToFileTime(&parts, &time) != FALSE;
}

FILETIME AddTime(FILETIME time, ULONGLONG amount) {
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    value.QuadPart += amount;
    return {value.LowPart, value.HighPart};
}

// Property values being built: texts are kept here so the values may point at them.
class Properties {
public:
    explicit Properties(bool ansi) : ansi_(ansi) {}

    void Text(ULONG tag, const std::wstring& text) {
        SPropValue value{};
        if (ansi_) {
            value.ulPropTag = CHANGE_PROP_TYPE(tag, PT_STRING8);
            value.Value.lpszA = narrow_.emplace_back(ToNarrow(kAnsiCodePage, text)).data();
        } else {
            value.ulPropTag = CHANGE_PROP_TYPE(tag, PT_UNICODE);
            value.Value.lpszW = wide_.emplace_back(text).data();
        }
        values_.push_back(value);
    }
    void Long(ULONG tag, LONG number) {
        SPropValue value{};
        value.ulPropTag = tag;
        value.Value.l = number;
        values_.push_back(value);
    }
    void Time(ULONG tag, FILETIME time) {
        SPropValue value{};
        value.ulPropTag = tag;
        value.Value.ft = time;
        values_.push_back(value);
    }
    void Binary(ULONG tag, const std::string& bytes) {
        SPropValue value{};
        value.ulPropTag = tag;
        const std::string& kept = narrow_.emplace_back(bytes);
        value.Value.bin.cb = static_cast<ULONG>(kept.size());
        value.Value.bin.lpb = reinterpret_cast<BYTE*>(const_cast<char*>(kept.data()));
        values_.push_back(value);
    }
    [[nodiscard]] HRESULT ApplyTo(IMAPIProp* object) {
        return object->SetProps(static_cast<ULONG>(values_.size()), values_.data(), nullptr);
    }

private:
    const bool ansi_;
    std::vector<SPropValue> values_;
    std::deque<std::wstring> wide_;  // deques keep their elements in place
    std::deque<std::string> narrow_;
};

// A folder made, with the items it is to hold and the serial number of the first.
struct FolderWork {
    Folder folder;
    const FolderPlan* plan;
    uint32_t serial;
};

class Generator {
public:
    explicit Generator(std::wstring& error) : error_(error) {}
    [[nodiscard]] HRESULT Run(const ProfilePlan& plan, const std::wstring& folder);

private:
    [[nodiscard]] HRESULT Fail(HRESULT hr, const std::wstring& what) {
        wchar_t code[16];
        _snwprintf(code, std::size(code), L"0x%08lx", static_cast<unsigned long>(hr));
        error_ = what + L" failed with " + code;
        return hr;
    }
    [[nodiscard]] HRESULT FillStore(const Folder& root, const FolderPlan& plan);
    [[nodiscard]] HRESULT MakeFolders(const Folder& folder, const FolderPlan& plan,
                                      std::vector<FolderWork>& work);
    [[nodiscard]] HRESULT WriteItems(const std::vector<FolderWork>& work);
    [[nodiscard]] HRESULT WriteItemsOf(const FolderWork& work);
    [[nodiscard]] HRESULT WriteItem(const Folder& folder, const ItemPlan& plan, uint32_t n);
    [[nodiscard]] HRESULT WriteContent(IMessage* message, const ItemPlan& plan, uint32_t n,
                                       const std::wstring& subject);
    [[nodiscard]] HRESULT AddRecipients(IMessage* message, const std::vector<Address>& to,
                                        const std::vector<Address>& cc, const std::vector<Address>& bcc);
    [[nodiscard]] HRESULT AddAttachment(IMessage* message, const std::wstring& nameAndContent);
    [[nodiscard]] HRESULT AddEmbedded(IMessage* message, const std::wstring& subject, bool ansi);

    std::wstring& error_;
    uint32_t serial_ = 0;  // items written so far: the source of every default
};

HRESULT Generator::Run(const ProfilePlan& plan, const std::wstring& folder) {
    std::shared_ptr<store::Profile> profile;
    HRESULT hr = store::Profile::Create(folder, plan.name, profile);
    if (FAILED(hr)) return Fail(hr, L"creating the profile folder " + folder);
    for (auto storePlan = plan.stores.begin(); storePlan != plan.stores.end(); ++storePlan) {
        // Stores of one name are told apart by how many came before them, so each has
        // its own entry IDs; the first keeps the UIDs of its name alone.
        const auto earlier = std::count_if(plan.stores.begin(), storePlan, [&](const StorePlan& other) {
            return other.name == storePlan->name;
        });
        const std::wstring seed =
            storePlan->name + (earlier ? L"|" + std::to_wstring(earlier) : std::wstring());
        const GUID uid = storePlan->hasUid ? storePlan->uid : store::StableGuid(plan.name + L"|" + seed);
        const GUID serviceUid = storePlan->hasServiceUid ? storePlan->serviceUid
                                                         : store::StableGuid(plan.name + L"|service|" + seed);
        store::Store created;
        hr = profile->AddStore(storePlan->name, created, &uid, &serviceUid);
        if (FAILED(hr)) return Fail(hr, L"adding the store " + storePlan->name);
        if (storePlan->isDefault && FAILED(hr = profile->SetDefaultStore(created))) {
            return Fail(hr, L"making " + storePlan->name + L" the default store");
        }
        hr = FillStore(created.RootFolder(), storePlan->root);
        if (FAILED(hr)) return hr;
        if (storePlan->faults && FAILED(hr = created.SetFaults(storePlan->faults))) {
            return Fail(hr, L"setting the faults of " + storePlan->name);
        }
        // A store whose data file is gone: still listed, every call of it fails.
        if ((storePlan->faults & store::fault::kDataMissing) &&
            FAILED(hr = store::DeleteTree(created.path()))) {
            return Fail(hr, L"removing the data of " + storePlan->name);
        }
    }
    if (plan.faults && FAILED(hr = profile->SetFaults(plan.faults)))
        return Fail(hr, L"setting the profile's faults");
    if (FAILED(hr = profile->SetSettings(plan.settings))) return Fail(hr, L"setting the profile's settings");
    return S_OK;
}

// Every folder first, in the order of the description, so that each gets the number
// it always gets; then the items, folders apart on threads of their own, each folder's
// in order, numbered as one walk through the description numbers them; then the
// folders' own fault switches, which would otherwise stop the generator's own writes.
HRESULT Generator::FillStore(const Folder& root, const FolderPlan& plan) {
    std::vector<FolderWork> work;
    HRESULT hr = MakeFolders(root, plan, work);
    if (FAILED(hr) || FAILED(hr = WriteItems(work))) return hr;
    for (auto made = work.rbegin(); made != work.rend(); ++made) {  // a folder's after its subfolders'
        if (!made->plan->faults && !made->plan->messageFaults) continue;
        hr = made->folder.SetFaults(made->plan->faults, made->plan->messageFaults);
        if (FAILED(hr)) return Fail(hr, L"setting the faults of " + made->plan->name);
    }
    return S_OK;
}

HRESULT Generator::MakeFolders(const Folder& folder, const FolderPlan& plan, std::vector<FolderWork>& work) {
    work.push_back({folder, &plan, serial_});
    for (const ItemPlan& item : plan.items) serial_ += item.count;
    // Every folder the generator fills is new, so its subfolders are the plan's:
    // names are checked here, not by listing the siblings on disk for each one.
    std::set<std::wstring> names;
    for (const FolderPlan& sub : plan.folders) {
        for (uint32_t n = 1; n <= sub.count; ++n) {
            const std::wstring name = Substitute(sub.name, n);
            if (!names.insert(UpperCase(name)).second)
                return Fail(MAPI_E_COLLISION, L"creating the folder " + name);
            Folder created;
            HRESULT hr = folder.CreateSubfolder(name, sub.type, Folder::IfExists::Unchecked, created);
            if (FAILED(hr)) return Fail(hr, L"creating the folder " + name);
            for (const store::FolderRole role : sub.roles) {
                hr = folder.store().SetDefaultFolder(role, created);
                if (FAILED(hr)) return Fail(hr, L"naming the special folder " + name);
            }
            hr = MakeFolders(created, sub, work);
            if (FAILED(hr)) return hr;
        }
    }
    return S_OK;
}

// The folders' items on as many threads as the machine has processors: each message
// file is written through structured storage, which costs far more than the store's
// bookkeeping, and folders share nothing but the profile's lock.
HRESULT Generator::WriteItems(const std::vector<FolderWork>& work) {
    const size_t threads = std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 4);
    std::atomic<size_t> next = 0;
    std::vector<HRESULT> results(threads, S_OK);
    std::vector<std::wstring> errors(threads);
    const auto fill = [&](size_t thread) noexcept {
        Generator writer(errors[thread]);
        while (results[thread] == S_OK) {
            const size_t i = next++;
            if (i >= work.size()) break;
            results[thread] =
                base::ReturnOr([&] { return writer.WriteItemsOf(work[i]); }, MAPI_E_NOT_ENOUGH_MEMORY);
            if (results[thread] == MAPI_E_NOT_ENOUGH_MEMORY && errors[thread].empty())
                errors[thread] = L"out of memory";
        }
    };
    std::vector<std::thread> others;
    for (size_t thread = 1; thread < threads; ++thread) others.emplace_back(fill, thread);
    fill(0);
    for (std::thread& other : others) other.join();
    for (size_t thread = 0; thread < threads; ++thread) {
        if (FAILED(results[thread])) {
            error_ = errors[thread];
            return results[thread];
        }
    }
    return S_OK;
}

HRESULT Generator::WriteItemsOf(const FolderWork& work) {
    serial_ = work.serial;
    for (const ItemPlan& item : work.plan->items) {
        for (uint32_t n = 1; n <= item.count; ++n) {
            const HRESULT hr = WriteItem(work.folder, item, n);
            if (FAILED(hr)) return hr;
        }
    }
    return S_OK;
}

HRESULT Generator::WriteItem(const Folder& folder, const ItemPlan& plan, uint32_t n) {
    ++serial_;
    const std::wstring where = L"line " + std::to_wstring(plan.line) + L": ";
    const std::wstring* subjectText = plan.Find("subject");
    const std::wstring subject =
        subjectText ? Substitute(*subjectText, n) : L"Message " + std::to_wstring(serial_);
    base::ComPtr<IMessage> message;
    HRESULT hr = folder.CreateMessage(message);
    if (FAILED(hr)) return Fail(hr, where + L"creating a message");
    hr = WriteContent(message.get(), plan, n, subject);
    if (FAILED(hr)) return hr;
    hr = message->SaveChanges(KEEP_OPEN_READWRITE);
    if (FAILED(hr)) return Fail(hr, where + L"saving the message " + subject);
    if (plan.faults == 0) return S_OK;
    base::UniqueMapiBuffer<SPropValue> entryId;
    store::EntryId id;
    if (FAILED(hr = HrGetOneProp(message.get(), PR_ENTRYID, entryId.put())) ||
        FAILED(hr = store::DecodeEntryId(entryId.get()->Value.bin.lpb, entryId.get()->Value.bin.cb, id)) ||
        FAILED(hr = folder.SetItemFaults(id.itemNumber, plan.faults))) {
        return Fail(hr, where + L"setting the faults of " + subject);
    }
    return S_OK;
}

HRESULT Generator::WriteContent(IMessage* message, const ItemPlan& plan, uint32_t n,
                                const std::wstring& subject) {
    const auto text = [&](const char* key, const std::wstring& fallback) {
        const std::wstring* value = plan.Find(key);
        return value ? Substitute(*value, n) : fallback;
    };
    const std::wstring where = L"line " + std::to_wstring(plan.line) + L": ";
    FILETIME date = AddTime(
        [] {
            FILETIME first{};
            SystemTimeToFileTime(&kFirstDate, &first);
            return first;
        }(),
        kHour * (serial_ - 1));
    if (const std::wstring* dateText = plan.Find("date"); dateText && !ParseDate(*dateText, date)) {
        return Fail(MAPI_E_INVALID_PARAMETER, where + L"reading the date " + *dateText);
    }
    const Address from = ParseAddress(text("from", kDefaultFrom));
    const std::vector<Address> to = ParseAddresses(text("to", kDefaultTo));
    const std::vector<Address> cc = ParseAddresses(text("cc", L""));
    const std::vector<Address> bcc = ParseAddresses(text("bcc", L""));
    const auto names = [](const std::vector<Address>& addresses) {
        std::wstring joined;
        for (const Address& address : addresses) joined += (joined.empty() ? L"" : L"; ") + address.name;
        return joined;
    };

    Properties properties(plan.ansi);
    properties.Text(PR_MESSAGE_CLASS, text("class", kDefaultClass));
    properties.Text(PR_SUBJECT, subject);
    std::wstring body;
    for (uint32_t i = 0; i < plan.bodyRepeat; ++i) body += text("body", L"Body of " + subject + L".");
    properties.Text(PR_BODY, body);
    properties.Text(PR_SENDER_NAME, from.name);
    properties.Text(PR_SENDER_EMAIL_ADDRESS, from.email);
    properties.Text(PR_SENDER_ADDRTYPE, kAddressType);
    properties.Text(PR_SENT_REPRESENTING_NAME, from.name);
    properties.Text(PR_SENT_REPRESENTING_EMAIL_ADDRESS, from.email);
    properties.Text(PR_SENT_REPRESENTING_ADDRTYPE, kAddressType);
    properties.Text(PR_DISPLAY_TO, names(to));
    if (!cc.empty()) properties.Text(PR_DISPLAY_CC, names(cc));
    if (!bcc.empty()) properties.Text(PR_DISPLAY_BCC, names(bcc));
    const std::wstring messageId =
        text("message-id", L"<" + std::to_wstring(serial_) + L".generated@example.org>");
    if (messageId != kNone) properties.Text(PR_INTERNET_MESSAGE_ID_W, messageId);
    if (text("submit-time", L"") != kNone) properties.Time(PR_CLIENT_SUBMIT_TIME, date);
    properties.Time(PR_MESSAGE_DELIVERY_TIME, AddTime(date, kDeliveryDelay));
    properties.Time(PR_CREATION_TIME, date);
    properties.Time(PR_LAST_MODIFICATION_TIME, date);
    properties.Long(PR_MESSAGE_FLAGS, MSGFLAG_READ);
    if (plan.ansi) properties.Long(PR_MESSAGE_CODEPAGE, static_cast<LONG>(kAnsiCodePage));
    HRESULT hr = properties.ApplyTo(message);
    if (FAILED(hr)) return Fail(hr, where + L"setting the properties of " + subject);

    hr = AddRecipients(message, to, cc, bcc);
    if (FAILED(hr)) return Fail(hr, where + L"adding the recipients of " + subject);
    for (const std::wstring& attachment : plan.FindAll("attach")) {
        hr = AddAttachment(message, Substitute(attachment, n));
        if (FAILED(hr)) return Fail(hr, where + L"attaching " + attachment);
    }
    for (const std::wstring& embedded : plan.FindAll("embed")) {
        hr = AddEmbedded(message, Substitute(embedded, n), plan.ansi);
        if (FAILED(hr)) return Fail(hr, where + L"embedding " + embedded);
    }
    return S_OK;
}

HRESULT Generator::AddRecipients(IMessage* message, const std::vector<Address>& to,
                                 const std::vector<Address>& cc, const std::vector<Address>& bcc) {
    constexpr ULONG kPropsPerRecipient = 4;
    const size_t count = to.size() + cc.size() + bcc.size();
    if (count == 0) return S_OK;
    base::UniqueMapiBuffer<ADRLIST> list;
    HRESULT hr = MAPIAllocateBuffer(CbNewADRLIST(count), reinterpret_cast<void**>(list.put()));
    if (FAILED(hr)) return hr;
    std::memset(list.get(), 0, CbNewADRLIST(count));
    // Each entry's values are a buffer of their own, as MAPI lays out an ADRLIST.
    std::vector<base::UniqueMapiBuffer<SPropValue>> entries;
    std::deque<std::wstring> texts;
    for (size_t i = 0; i < count; ++i) {
        const bool isTo = i < to.size(), isCc = !isTo && i < to.size() + cc.size();
        const Address& address = isTo ? to[i] : isCc ? cc[i - to.size()] : bcc[i - to.size() - cc.size()];
        base::UniqueMapiBuffer<SPropValue>& values = entries.emplace_back();
        hr = MAPIAllocateBuffer(kPropsPerRecipient * sizeof(SPropValue),
                                reinterpret_cast<void**>(values.put()));
        if (FAILED(hr)) return hr;
        SPropValue* value = values.get();
        value[0].ulPropTag = PR_DISPLAY_NAME_W;
        value[0].Value.lpszW = texts.emplace_back(address.name).data();
        value[1].ulPropTag = PR_EMAIL_ADDRESS_W;
        value[1].Value.lpszW = texts.emplace_back(address.email).data();
        value[2].ulPropTag = PR_ADDRTYPE_W;
        value[2].Value.lpszW = texts.emplace_back(kAddressType).data();
        value[3].ulPropTag = PR_RECIPIENT_TYPE;
        value[3].Value.l = isTo ? MAPI_TO : isCc ? MAPI_CC : MAPI_BCC;
        list.get()->aEntries[i].cValues = kPropsPerRecipient;
        list.get()->aEntries[i].rgPropVals = value;
    }
    list.get()->cEntries = static_cast<ULONG>(count);
    return message->ModifyRecipients(MODRECIP_ADD, list.get());
}

// A new attachment of `message` with its method and display name set.
[[nodiscard]] HRESULT CreateAttachment(IMessage* message, LONG method, const std::wstring& name,
                                       base::ComPtr<IAttach>& attachment) {
    ULONG number = 0;
    HRESULT hr = message->CreateAttach(nullptr, 0, &number, attachment.put());
    if (FAILED(hr)) return hr;
    Properties properties(false);
    properties.Long(PR_ATTACH_METHOD, method);
    properties.Text(PR_DISPLAY_NAME, name);
    return properties.ApplyTo(attachment.get());
}

HRESULT Generator::AddAttachment(IMessage* message, const std::wstring& nameAndContent) {
    const size_t colon = nameAndContent.find(L':');
    const std::wstring name = nameAndContent.substr(0, colon);
    const std::wstring content =
        colon == std::wstring::npos ? std::wstring() : nameAndContent.substr(colon + 1);
    base::ComPtr<IAttach> attachment;
    HRESULT hr = CreateAttachment(message, ATTACH_BY_VALUE, name, attachment);
    if (FAILED(hr)) return hr;
    Properties properties(false);
    properties.Text(PR_ATTACH_FILENAME, name);
    properties.Text(PR_ATTACH_LONG_FILENAME, name);
    properties.Binary(PR_ATTACH_DATA_BIN, store::ToUtf8(content));
    hr = properties.ApplyTo(attachment.get());
    if (FAILED(hr)) return hr;
    return attachment->SaveChanges(KEEP_OPEN_READWRITE);
}

HRESULT Generator::AddEmbedded(IMessage* message, const std::wstring& subject, bool ansi) {
    base::ComPtr<IAttach> attachment;
    HRESULT hr = CreateAttachment(message, ATTACH_EMBEDDED_MSG, subject, attachment);
    if (FAILED(hr)) return hr;
    base::ComPtr<IMessage> embedded;
    hr = attachment->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY,
                                  reinterpret_cast<IUnknown**>(embedded.put()));
    if (FAILED(hr)) return hr;
    Properties properties(ansi);
    properties.Text(PR_MESSAGE_CLASS, kDefaultClass);
    properties.Text(PR_SUBJECT, subject);
    properties.Text(PR_BODY, kEmbeddedBody);
    hr = properties.ApplyTo(embedded.get());
    if (FAILED(hr)) return hr;
    hr = embedded->SaveChanges(KEEP_OPEN_READWRITE);
    if (FAILED(hr)) return hr;
    return attachment->SaveChanges(KEEP_OPEN_READWRITE);
}

}  // namespace

HRESULT GenerateProfile(const ProfilePlan& profile, const std::wstring& folder, std::wstring& error) {
    HRESULT hr = MAPI_E_NOT_ENOUGH_MEMORY;
    if (!base::Completes([&] { hr = Generator(error).Run(profile, folder); })) error = L"out of memory";
    return hr;
}

}  // namespace standin::profilegen
