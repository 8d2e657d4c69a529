// The named-property mapping of a message file: the GUID, entry and string streams
// of its __nameid storage, read and written.
#include "standin/msg/msg_layout.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace standin::msg::layout {
namespace {

[[nodiscard]] ULONG GuidIndex(const GUID& guid, std::vector<GUID>& guids) {
    if (guid == PS_MAPI) return kGuidIndexMapi;
    if (guid == PS_PUBLIC_STRINGS) return kGuidIndexPublicStrings;
    const auto found = std::find(guids.begin(), guids.end(), guid);
    if (found == guids.end()) guids.push_back(guid);
    return kFirstStreamGuidIndex +
           static_cast<ULONG>(std::find(guids.begin(), guids.end(), guid) - guids.begin());
}

}  // namespace

[[nodiscard]] HRESULT ReadNameMap(IStorage* storage, const std::vector<Element>& elements, NameMap& names) {
    if (!FindElement(elements, kNameIdStorage, STGTY_STORAGE)) return S_OK;
    base::ComPtr<IStorage> nameid;
    if (HRESULT hr = OpenChild(storage, kNameIdStorage, nameid); FAILED(hr)) return hr;
    Bytes guids, entries, strings;
    if (HRESULT hr = ReadStream(nameid.get(), kGuidStream, guids); FAILED(hr)) return hr;
    if (HRESULT hr = ReadStream(nameid.get(), kEntryStream, entries); FAILED(hr)) return hr;
    if (HRESULT hr = ReadStream(nameid.get(), kStringStream, strings); FAILED(hr)) return hr;
    if (guids.size() % sizeof(GUID) != 0 || entries.size() % kNameEntrySize != 0) return MAPI_E_CORRUPT_DATA;
    for (std::size_t i = 0; i < entries.size() / kNameEntrySize; ++i) {
        const BYTE* entry = &entries[i * kNameEntrySize];
        const ULONG idOrOffset = ReadU32(entry);
        const ULONG indexAndKind = ReadU32(entry + 4);
        const ULONG guidIndex = (indexAndKind >> 1) & 0x7FFF;
        // Entries name ids 0x8000 upwards in order.
        if ((indexAndKind >> 16) != i) return MAPI_E_CORRUPT_DATA;
        PropertyName name;
        if (guidIndex == kGuidIndexMapi) {
            name.guid = PS_MAPI;
        } else if (guidIndex == kGuidIndexPublicStrings) {
            name.guid = PS_PUBLIC_STRINGS;
        } else if (guidIndex >= kFirstStreamGuidIndex &&
                   (guidIndex - kFirstStreamGuidIndex) < guids.size() / sizeof(GUID)) {
            std::memcpy(&name.guid, &guids[(guidIndex - kFirstStreamGuidIndex) * sizeof(GUID)], sizeof(GUID));
        } else {
            return MAPI_E_CORRUPT_DATA;
        }
        if (indexAndKind & 1) {
            name.kind = MNID_STRING;
            if (idOrOffset > strings.size() || strings.size() - idOrOffset < 4) return MAPI_E_CORRUPT_DATA;
            const ULONG length = ReadU32(&strings[idOrOffset]);
            if (length % 2 != 0 || length > strings.size() - idOrOffset - 4) return MAPI_E_CORRUPT_DATA;
            const Bytes text(strings.begin() + idOrOffset + 4, strings.begin() + idOrOffset + 4 + length);
            name.name = Text16(text, text.size());
        } else {
            name.kind = MNID_ID;
            name.id = static_cast<LONG>(idOrOffset);
        }
        if (HRESULT hr = names.Append(std::move(name)); FAILED(hr))
            return hr == MAPI_E_TOO_BIG ? MAPI_E_CORRUPT_DATA : hr;
    }
    return S_OK;
}

[[nodiscard]] HRESULT WriteNameMap(IStorage* storage, const NameMap& names) {
    std::vector<GUID> guids;
    Bytes entries;
    Bytes strings;
    for (std::size_t i = 0; i < names.names().size(); ++i) {
        const PropertyName& name = names.names()[i];
        const ULONG guidIndex = GuidIndex(name.guid, guids);
        const bool isString = name.kind == MNID_STRING;
        ULONG idOrOffset = static_cast<ULONG>(name.id);
        if (isString) {
            idOrOffset = static_cast<ULONG>(strings.size());
            const std::size_t bytes = name.name.size() * sizeof(wchar_t);
            AppendU32(strings, static_cast<ULONG>(bytes));
            const auto* text = reinterpret_cast<const BYTE*>(name.name.data());
            strings.insert(strings.end(), text, text + bytes);
            strings.resize((strings.size() + 3) & ~std::size_t{3});  // entries start on 4-byte boundaries
        }
        AppendU32(entries, idOrOffset);
        AppendU32(entries, (static_cast<ULONG>(i) << 16) | (guidIndex << 1) | (isString ? 1 : 0));
    }
    base::ComPtr<IStorage> nameid;
    if (HRESULT hr = CreateChild(storage, kNameIdStorage, nameid); FAILED(hr)) return hr;
    if (HRESULT hr = WriteStream(nameid.get(), kGuidStream, guids.data(), guids.size() * sizeof(GUID));
        FAILED(hr)) {
        return hr;
    }
    if (HRESULT hr = WriteStream(nameid.get(), kEntryStream, entries.data(), entries.size()); FAILED(hr))
        return hr;
    if (HRESULT hr = WriteStream(nameid.get(), kStringStream, strings.data(), strings.size()); FAILED(hr))
        return hr;
    return CommitChild(nameid.get());
}

}  // namespace standin::msg::layout
