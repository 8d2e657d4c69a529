#include "tests/standin/msg/msg_test_util.h"

#include "standin/mapi/hex.h"
#include "tests/support/child_process.h"

namespace msgtest {
namespace {

constexpr CLSID kClsidMailMessage = {0x00020D0B, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr DWORD kCreateMode = STGM_TRANSACTED | STGM_CREATE | STGM_READWRITE;
constexpr DWORD kOpenMode = STGM_TRANSACTED | STGM_SHARE_EXCLUSIVE | STGM_READWRITE;

std::string Hex(const void* data, std::size_t size) {
    const std::wstring text = standin::mapi::HexText(static_cast<const BYTE*>(data), size);
    return std::string(text.begin(), text.end());
}

// The bytes of one element of a fixed-size type.
std::size_t FixedSize(ULONG type) {
    switch (type) {
    case PT_I2:
    case PT_BOOLEAN:
        return 2;
    case PT_LONG:
    case PT_R4:
    case PT_ERROR:
        return 4;
    case PT_CLSID:
        return sizeof(GUID);
    default:
        return 8;
    }
}

}  // namespace

HRESULT MessageFile::Save() {
    HRESULT hr = message->SaveChanges(KEEP_OPEN_READWRITE);
    if (FAILED(hr)) return hr;
    return storage->Commit(STGC_DEFAULT);
}

HRESULT OpenMessageOn(IStorage* storage, MessageFile& file, ULONG flags) {
    return file.message.Open(storage, flags);
}

HRESULT CreateMessageFile(const std::wstring& path, MessageFile& file, ULONG flags) {
    DeleteFileW(path.c_str());
    HRESULT hr = StgCreateDocfile(path.c_str(), kCreateMode, 0, file.storage.put());
    if (FAILED(hr)) return hr;
    if (FAILED(hr = OpenMessageOn(file.storage.get(), file, flags))) return hr;
    return WriteClassStg(file.storage.get(), kClsidMailMessage);
}

HRESULT OpenMessageFile(const std::wstring& path, MessageFile& file) {
    HRESULT hr = StgOpenStorage(path.c_str(), nullptr, kOpenMode, nullptr, 0, file.storage.put());
    if (FAILED(hr)) return hr;
    return OpenMessageOn(file.storage.get(), file);
}

SPropValue Values::Wide(ULONG tag, const std::wstring& s) {
    texts_.push_back(std::make_unique<std::wstring>(s));
    SPropValue p{tag, 0, {}};
    p.Value.lpszW = texts_.back()->data();
    return p;
}

SPropValue Values::Narrow(ULONG tag, const std::string& s) {
    bytes_.push_back(std::make_unique<std::string>(s));
    SPropValue p{tag, 0, {}};
    p.Value.lpszA = bytes_.back()->data();
    return p;
}

SPropValue Values::Binary(ULONG tag, const std::string& bytes) {
    bytes_.push_back(std::make_unique<std::string>(bytes));
    SPropValue p{tag, 0, {}};
    p.Value.bin = {static_cast<ULONG>(bytes.size()), reinterpret_cast<BYTE*>(bytes_.back()->data())};
    return p;
}

std::string Describe(const SPropValue& v) {
    std::string out = Hex(&v.ulPropTag, 4) + "=";
    const ULONG type = PROP_TYPE(v.ulPropTag);
    const auto text = [](const wchar_t* s) { return Hex(s, std::wcslen(s) * 2); };
    switch (type) {
    case PT_STRING8:
        return out + "'" + v.Value.lpszA + "'";
    case PT_UNICODE:
        return out + text(v.Value.lpszW);
    case PT_BINARY:
        return out + Hex(v.Value.bin.lpb, v.Value.bin.cb);
    case PT_CLSID:
        return out + Hex(v.Value.lpguid, sizeof(GUID));
    case PT_MV_STRING8:
    case PT_MV_UNICODE:
    case PT_MV_BINARY:
        for (ULONG i = 0; i < v.Value.MVi.cValues; ++i) {
            if (type == PT_MV_STRING8) out += std::string("'") + v.Value.MVszA.lppszA[i] + "',";
            if (type == PT_MV_UNICODE) out += text(v.Value.MVszW.lppszW[i]) + ",";
            if (type == PT_MV_BINARY) out += Hex(v.Value.MVbin.lpbin[i].lpb, v.Value.MVbin.lpbin[i].cb) + ",";
        }
        return out;
    default:
        if (type & MV_FLAG)
            return out + Hex(v.Value.MVi.lpi, v.Value.MVi.cValues * FixedSize(type & ~MV_FLAG));
        return out + Hex(&v.Value, FixedSize(type));
    }
}

namespace {

constexpr GUID kTestPropertySet = {
    0x12345678, 0x9ABC, 0xDEF0, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80}};
constexpr GUID kSomeClass = {0xCAFEF00D, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};

std::string Pattern(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + seed) & 0xFF);
    return bytes;
}

SPropValue Text(Values& v, bool unicode, ULONG id, const std::wstring& text) {
    if (unicode) return v.Wide(PROP_TAG(PT_UNICODE, id), text);
    std::string narrow;
    for (wchar_t c : text) narrow.push_back(static_cast<char>(c < 0x100 ? c : '?'));
    return v.Narrow(PROP_TAG(PT_STRING8, id), narrow);
}

HRESULT SetAll(IMAPIProp* object, std::vector<SPropValue>& values) {
    LPSPropProblemArray problems = nullptr;
    HRESULT hr = object->SetProps(static_cast<ULONG>(values.size()), values.data(), &problems);
    if (SUCCEEDED(hr) && problems) hr = E_FAIL;
    MAPIFreeBuffer(problems);
    return hr;
}

HRESULT AddByValue(IMessage* message, bool unicode, std::size_t size) {
    ULONG number = 0;
    base::ComPtr<IAttach> attach;
    HRESULT hr = message->CreateAttach(nullptr, 0, &number, attach.put());
    if (FAILED(hr)) return hr;
    Values v;
    std::vector<SPropValue> values = {
        v.Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE),
        Text(v, unicode, PROP_ID(PR_ATTACH_LONG_FILENAME), L"r\u00e9sum\u00e9.bin"),
        v.Binary(PR_ATTACH_DATA_BIN, Pattern(size, 7))};
    if (FAILED(hr = SetAll(attach.get(), values))) return hr;
    return attach->SaveChanges(KEEP_OPEN_READWRITE);
}

// An embedded message attachment whose message `fill` fills.
template <typename Fill>
HRESULT AddEmbedded(IMessage* message, Fill fill) {
    ULONG number = 0;
    base::ComPtr<IAttach> attach;
    HRESULT hr = message->CreateAttach(nullptr, 0, &number, attach.put());
    if (FAILED(hr)) return hr;
    Values v;
    std::vector<SPropValue> values = {v.Long(PR_ATTACH_METHOD, ATTACH_EMBEDDED_MSG)};
    if (FAILED(hr = SetAll(attach.get(), values))) return hr;
    base::ComPtr<IMessage> embedded;
    if (FAILED(hr = attach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY,
                                         reinterpret_cast<IUnknown**>(embedded.put())))) {
        return hr;
    }
    if (FAILED(hr = fill(embedded.get()))) return hr;
    if (FAILED(hr = embedded->SaveChanges(KEEP_OPEN_READWRITE))) return hr;
    return attach->SaveChanges(KEEP_OPEN_READWRITE);
}

}  // namespace

HRESULT AddRecipients(IMessage* message, bool unicode, int count) {
    Values v;
    SizedADRLIST(3, list) = {0, {}};
    for (int i = 0; i < count; ++i) {
        const SPropValue row[] = {
            Text(v, unicode, PROP_ID(PR_DISPLAY_NAME), L"Recipient \u00e9 " + std::to_wstring(i)),
            Text(v, unicode, PROP_ID(PR_EMAIL_ADDRESS), L"r" + std::to_wstring(i) + L"@example.org"),
            v.Long(PR_RECIPIENT_TYPE, i == 0 ? MAPI_TO : MAPI_CC), v.Binary(PR_ENTRYID, Pattern(24 + i, i))};
        SPropValue* values = nullptr;  // in a MAPI buffer of its own, as ModifyRecipients expects
        MAPIAllocateBuffer(sizeof(row), reinterpret_cast<void**>(&values));
        std::copy(std::begin(row), std::end(row), values);
        list.aEntries[i] = {0, static_cast<ULONG>(std::size(row)), values};
        list.cEntries = i + 1;
    }
    const HRESULT hr = message->ModifyRecipients(MODRECIP_ADD, reinterpret_cast<ADRLIST*>(&list));
    for (ULONG i = 0; i < list.cEntries; ++i) MAPIFreeBuffer(list.aEntries[i].rgPropVals);
    return hr;
}

HRESULT FillRichMessage(IMessage* message, bool unicode, std::vector<ULONG>* tags) {
    Values v;
    static short shorts[] = {1, -2, 32767};
    static LONG longs[] = {0, -1, 0x12345678};
    static float floats[] = {0.5f, -2.25f};
    static double doubles[] = {1e100, -0.125};
    static LARGE_INTEGER int64s[] = {{{0x89ABCDEF, 0x01234567}}, {{1, 0}}};
    static FILETIME times[] = {{0xD53E8000, 0x01D9A5B6}, {1, 2}};
    static GUID guids[] = {kSomeClass, kTestPropertySet};
    static char s1[] = "first", s2[] = "", s3[] = "third \xE9";
    static char* narrow[] = {s1, s2, s3};
    static wchar_t w1[] = L"erste", w2[] = L"zweite \u2603";
    static wchar_t* wide[] = {w1, w2};
    static std::string b0, b1 = "\x01", b2 = Pattern(5000, 3);
    static SBinary binaries[] = {{0, nullptr},
                                 {1, reinterpret_cast<BYTE*>(b1.data())},
                                 {static_cast<ULONG>(b2.size()), reinterpret_cast<BYTE*>(b2.data())}};
    static GUID clsid = kSomeClass;

    auto array = [](ULONG type, ULONG id, ULONG count, void* elements) {
        SPropValue p{PROP_TAG(type, id), 0, {}};
        p.Value.MVi.cValues = count;
        p.Value.MVi.lpi = static_cast<short*>(elements);
        return p;
    };

    std::wstring body;
    for (int i = 0; body.size() < 300000; ++i)
        body += L"Line " + std::to_wstring(i) + L" of the body \u00e9\u00e8.\r\n";

    std::vector<SPropValue> values = {
        Text(v, unicode, PROP_ID(PR_SUBJECT), L"Quarterly report \u00e9t\u00e9"),
        Text(v, unicode, PROP_ID(PR_BODY), body),
        Text(v, unicode, PROP_ID(PR_MESSAGE_CLASS), L"IPM.Note"),
        Text(v, unicode, PROP_ID(PR_SENDER_EMAIL_ADDRESS), L"sender@example.org"),
        Text(v, unicode, 0x6811, L""),
        v.Raw(PR_CLIENT_SUBMIT_TIME, FILETIME{0x2A2E1000, 0x01D95650}),
        v.Long(PR_MESSAGE_FLAGS, MSGFLAG_READ),
        v.Raw(PROP_TAG(PT_I2, 0x6801), short{-12345}),
        v.Long(PROP_TAG(PT_LONG, 0x6802), 0x7FFFFFFF),
        v.Raw(PROP_TAG(PT_R4, 0x6803), 1.5f),
        v.Raw(PROP_TAG(PT_DOUBLE, 0x6804), 3.25),
        v.Raw(PROP_TAG(PT_CURRENCY, 0x6805), LONGLONG{123456789}),
        v.Raw(PROP_TAG(PT_APPTIME, 0x6806), 45000.5),
        v.Raw(PROP_TAG(PT_I8, 0x6807), LONGLONG{0x0123456789ABCDEFLL}),
        v.Raw(PROP_TAG(PT_BOOLEAN, 0x6808), short{1}),
        v.Raw(PROP_TAG(PT_BOOLEAN, 0x6809), short{0}),
        v.Raw(PROP_TAG(PT_CLSID, 0x680A), &clsid),
        v.Binary(PROP_TAG(PT_BINARY, 0x680B), ""),
        v.Binary(PROP_TAG(PT_BINARY, 0x680C), "\xFF"),
        v.Binary(PROP_TAG(PT_BINARY, 0x680D), Pattern(4095, 1)),
        v.Binary(PROP_TAG(PT_BINARY, 0x680E), Pattern(4096, 2)),
        v.Binary(PROP_TAG(PT_BINARY, 0x680F), Pattern(70000, 3)),
        array(PT_MV_I2, 0x6820, 3, shorts),
        array(PT_MV_LONG, 0x6821, 3, longs),
        array(PT_MV_R4, 0x6822, 2, floats),
        array(PT_MV_DOUBLE, 0x6823, 2, doubles),
        array(PT_MV_CURRENCY, 0x6824, 2, int64s),
        array(PT_MV_APPTIME, 0x6825, 2, doubles),
        array(PT_MV_SYSTIME, 0x6826, 2, times),
        array(PT_MV_I8, 0x6827, 2, int64s),
        array(PT_MV_CLSID, 0x6828, 2, guids),
        array(PT_MV_STRING8, 0x6829, 3, narrow),
        array(PT_MV_UNICODE, 0x682A, 2, wide),
        array(PT_MV_BINARY, 0x682B, 3, binaries),
    };
    HRESULT hr = SetAll(message, values);
    if (FAILED(hr)) return hr;

    // Named properties: by number in a private set, by name in the public strings.
    GUID set = kTestPropertySet;
    GUID publicStrings = {0x00020329, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    MAPINAMEID byNumber{&set, MNID_ID, {}};
    byNumber.Kind.lID = 0x8501;
    MAPINAMEID byName{&publicStrings, MNID_STRING, {}};
    byName.Kind.lpwstrName = const_cast<wchar_t*>(L"Keywords \u00e9");
    LPMAPINAMEID names[] = {&byNumber, &byName};
    LPSPropTagArray ids = nullptr;
    if (FAILED(hr = message->GetIDsFromNames(2, names, MAPI_CREATE, &ids))) return hr;
    std::vector<SPropValue> named = {v.Long(PROP_TAG(PT_LONG, PROP_ID(ids->aulPropTag[0])), 42),
                                     Text(v, unicode, PROP_ID(ids->aulPropTag[1]), L"named value")};
    MAPIFreeBuffer(ids);
    if (tags) {
        tags->clear();
        for (const auto* set : {&values, &named}) {
            for (const SPropValue& p : *set) tags->push_back(p.ulPropTag);
        }
    }
    if (FAILED(hr = SetAll(message, named))) return hr;

    if (FAILED(hr = AddRecipients(message, unicode, 3))) return hr;
    if (FAILED(hr = AddByValue(message, unicode, 100000))) return hr;
    return AddEmbedded(message, [&](IMessage* level1) {
        Values inner;
        std::vector<SPropValue> props = {Text(inner, unicode, PROP_ID(PR_SUBJECT), L"Level 1"),
                                         inner.Long(PR_MESSAGE_FLAGS, 0)};
        HRESULT result = SetAll(level1, props);
        if (SUCCEEDED(result)) result = AddRecipients(level1, unicode, 1);
        if (SUCCEEDED(result)) result = AddByValue(level1, unicode, 10);
        if (FAILED(result)) return result;
        return AddEmbedded(level1, [&](IMessage* level2) {
            Values deepest;
            std::vector<SPropValue> deep = {Text(deepest, unicode, PROP_ID(PR_SUBJECT), L"Level 2")};
            HRESULT r = SetAll(level2, deep);
            return SUCCEEDED(r) ? AddByValue(level2, unicode, 3) : r;
        });
    });
}

HRESULT WriteRichFile(const std::wstring& path, bool unicode) {
    MessageFile file;
    HRESULT hr = CreateMessageFile(path, file);
    if (SUCCEEDED(hr)) hr = FillRichMessage(file.message.get(), unicode);
    return SUCCEEDED(hr) ? file.Save() : hr;
}

}  // namespace msgtest
