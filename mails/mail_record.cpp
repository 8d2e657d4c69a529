#include "mails/mail_record.h"

#include <mapitags.h>
#include <mapiutil.h>
#include <mapix.h>

#include <locale.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <new>
#include <string_view>
#include <type_traits>

#include "base/boundary.h"
#include "base/mapi_buffer.h"
#include "base/unique_variant.h"
#include "outlook/application.h"
#include "outlook/object_model.h"

namespace mails {
namespace {

// The record's text fields before the body, in record order.
struct TextField {
    ULONG id;
    bool dropApostrophes;
};
constexpr TextField kLeadingFields[] = {
    {0x1035, false},  // PR_INTERNET_MESSAGE_ID
    {PROP_ID(PR_SUBJECT), false},
    {PROP_ID(PR_SENDER_EMAIL_ADDRESS), false},
    {PROP_ID(PR_DISPLAY_TO), true},
    {PROP_ID(PR_DISPLAY_CC), true},
    {PROP_ID(PR_DISPLAY_BCC), true},
};
constexpr ULONG kBodyId = PROP_ID(PR_BODY);
constexpr ULONG kSubmitTimeTag = PROP_TAG(PT_SYSTIME, 0x0039);  // PR_CLIENT_SUBMIT_TIME
constexpr size_t kShortBodyLength = 1024;
constexpr std::wstring_view kMailtoOpening = L"<mailto:";

// One read through HrGetOneProp; `convert` makes the text of a value of `tag`.
template <typename Convert>
[[nodiscard]] HRESULT GetStringProp(IMessage* message, ULONG tag, std::wstring& text,
                                    Convert convert) noexcept {
    text.clear();
    base::UniqueMapiBuffer<SPropValue> value;
    const HRESULT hr = ::HrGetOneProp(message, tag, value.put());
    if (FAILED(hr) || !value) return hr;
    if (value.get()->ulPropTag != tag) return E_FAIL;  // an error value in its place
    if (!base::Completes([&] { text = convert(value.get()->Value); })) {
        return E_FAIL;
    }
    return hr;
}

// 8-bit text first; Unicode only when that read fails.
[[nodiscard]] std::wstring ReadText(IMessage* message, ULONG id) {
    std::wstring text;
    if (FAILED(GetStringPropA(message, PROP_TAG(PT_STRING8, id), text))) {
        static_cast<void>(GetStringPropW(message, PROP_TAG(PT_UNICODE, id), text));
    }
    return text;
}

void RemoveBlanks(std::wstring& text) {
    std::erase_if(text, [](wchar_t c) { return c == L'\n' || c == L'\r' || c == L' '; });
}

// Removes every occurrence of `part`, scanning left to right without overlaps.
void RemoveAll(std::wstring& text, std::wstring_view part) {
    std::wstring kept;
    size_t from = 0;
    for (size_t at; (at = text.find(part, from)) != std::wstring::npos; from = at + part.size()) {
        kept.append(text, from, at - from);
    }
    kept.append(text, from);
    text.swap(kept);
}

// The runtime's "C" locale, the record's own. The runtime's current locale is the
// process's, and any other module of Outlook's process may set it (setlocale): the
// conversions and the date text follow this one instead, so a mail's record never
// changes with its neighbours. Made once; null (the current locale) if it cannot be.
[[nodiscard]] _locale_t RecordLocale() noexcept {
    static const std::unique_ptr<std::remove_pointer_t<_locale_t>, decltype(&::_free_locale)> locale(
        ::_create_locale(LC_ALL, "C"), &::_free_locale);
    return locale.get();
}

[[nodiscard]] bool SameSecond(const SYSTEMTIME& a, const SYSTEMTIME& b) noexcept {
    return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay && a.wHour == b.wHour &&
           a.wMinute == b.wMinute && a.wSecond == b.wSecond;
}

}  // namespace

HRESULT GetMailItemByEntryID(const wchar_t* entryId, base::ComPtr<_MailItem>& mailItem) noexcept {
    mailItem.reset();
    base::ComPtr<_Application> application;
    outlook::GetOutlookApplication(application);
    if (!application) return E_FAIL;
    base::ComPtr<_NameSpace> nameSpace;
    HRESULT hr = outlook::GetNamespace(application.get(), L"MAPI", nameSpace);
    if (FAILED(hr)) return hr;
    base::UniqueVariant noStore;
    if (FAILED(hr = noStore.SetText(L""))) return hr;
    base::ComPtr<IDispatch> item;
    hr = outlook::GetItemFromID(nameSpace.get(), entryId, noStore.get(), item);
    if (FAILED(hr)) return hr;
    if (!item) return E_FAIL;
    return item.As(mailItem);
}

HRESULT GetMailMessage(_MailItem* mailItem, base::ComPtr<IMessage>& message) noexcept {
    message.reset();
    base::ComPtr<IUnknown> object;
    const HRESULT hr = outlook::GetMAPIOBJECT(mailItem, object);
    if (FAILED(hr)) return hr;
    if (!object) return E_POINTER;
    return object->QueryInterface(IID_IMessage, message.put_void());
}

HRESULT GetStringPropA(IMessage* message, ULONG tag, std::wstring& text) noexcept {
    return GetStringProp(message, tag, text, [](const auto& value) { return AnsiToWide(value.lpszA); });
}

HRESULT GetStringPropW(IMessage* message, ULONG tag, std::wstring& text) noexcept {
    return GetStringProp(message, tag, text,
                         [](const auto& value) { return std::wstring(value.lpszW ? value.lpszW : L""); });
}

std::wstring AnsiToWide(const char* text) {
    if (!text) return std::wstring();
    const size_t length = ::_mbstowcs_l(nullptr, text, 0, RecordLocale());
    if (length == static_cast<size_t>(-1)) return std::wstring();
    std::wstring wide(length + 1, L'\0');
    if (::_mbstowcs_l(wide.data(), text, length + 1, RecordLocale()) == static_cast<size_t>(-1))
        return std::wstring();
    wide.resize(length);
    return wide;
}

HRESULT GetSubmitTimeText(IMessage* message, ULONG tag, std::wstring& text) noexcept {
    text.clear();
    base::UniqueMapiBuffer<SPropValue> value;
    const HRESULT hr = ::HrGetOneProp(message, tag, value.put());
    if (FAILED(hr) || !value || value.get()->ulPropTag != tag) return hr;
    const FILETIME utc = value.get()->Value.ft;
    if (utc.dwLowDateTime == 0 && utc.dwHighDateTime == 0) return hr;
    FILETIME local{};
    SYSTEMTIME fields{}, back{};
    DATE date = 0;
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &fields) ||
        !SystemTimeToVariantTime(&fields, &date) || !VariantTimeToSystemTime(date, &back) ||
        !SameSecond(fields, back)) {
        return E_FAIL;
    }
    UDATE calendar{};
    return base::ReturnOr(
        [&] {
            if (FAILED(VarUdateFromDate(date, 0, &calendar))) {
                text = L"Invalid DateTime";
                return S_OK;
            }
            const SYSTEMTIME& st = calendar.st;
            std::tm time{};
            time.tm_sec = st.wSecond;
            time.tm_min = st.wMinute;
            time.tm_hour = st.wHour;
            time.tm_mday = st.wDay;
            time.tm_mon = st.wMonth - 1;
            time.tm_year = st.wYear - 1900;
            time.tm_wday = st.wDayOfWeek;
            time.tm_yday = calendar.wDayOfYear - 1;
            wchar_t buffer[256] = {};
            ::_wcsftime_l(buffer, std::size(buffer), L"%#c", &time, RecordLocale());
            text = buffer;
            return S_OK;
        },
        E_FAIL);
}

void NormalizeSignatureBody(std::wstring& text) {
    if (text.size() > kShortBodyLength) text.resize(kShortBodyLength);
    RemoveBlanks(text);
    for (;;) {
        const size_t start = text.find(kMailtoOpening);
        if (start == std::wstring::npos) return;
        const size_t end = text.find(L'>', start);
        if (end == std::wstring::npos) return;
        RemoveAll(text, std::wstring(text, start, end - start + 1));
    }
}

std::wstring BuildMailRecord(IMessage* message, bool includeBody) {
    std::wstring record, messageId;
    for (const TextField& field : kLeadingFields) {
        std::wstring text = ReadText(message, field.id);
        if (field.dropApostrophes) std::erase(text, L'\'');
        if (&field == &kLeadingFields[0]) messageId = text;
        record += text;
    }
    std::wstring body;
    if (includeBody) {
        body = ReadText(message, kBodyId);
        std::wstring shortForm = body;
        NormalizeSignatureBody(shortForm);
        record += shortForm;
    }
    std::wstring submitTime;
    if (SUCCEEDED(GetSubmitTimeText(message, kSubmitTimeTag, submitTime))) record += submitTime;
    if (submitTime.empty() && messageId.empty()) {
        if (!includeBody) body = ReadText(message, kBodyId);
        RemoveBlanks(body);
        record += body;
    }
    return record;
}

}  // namespace mails
