// Properties of the store's own MAPI objects (message stores, folders, table
// rows), kept as values and handed out in MAPI buffers as GetProps does: strings
// as PT_UNICODE or PT_STRING8 (the ANSI code page) as the caller asks, a missing
// property as PT_ERROR / MAPI_E_NOT_FOUND with MAPI_W_ERRORS_RETURNED.
#pragma once

#include <windows.h>
#include <mapidefs.h>

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace standin::store {

class ProviderProps {
public:
    void SetBinary(ULONG tag, std::vector<BYTE> bytes);
    // Only the tag's id counts: the string answers as PT_UNICODE and PT_STRING8.
    void SetString(ULONG tag, std::wstring text);
    void SetLong(ULONG tag, LONG value);
    void SetBoolean(ULONG tag, bool value);
    // An error value in place of the property, as a table row shows one.
    void SetError(ULONG tag, HRESULT error);

    // IMAPIProp::GetProps. A null `tags` asks for every property, strings in the
    // width MAPI_UNICODE in `flags` selects.
    [[nodiscard]] HRESULT GetProps(const SPropTagArray* tags, ULONG flags, ULONG* count,
                                   SPropValue** values) const noexcept;
    // IMAPIProp::GetPropList.
    [[nodiscard]] HRESULT GetPropList(ULONG flags, SPropTagArray** tags) const noexcept;
    [[nodiscard]] bool empty() const noexcept { return properties_.empty(); }

private:
    struct Error {
        HRESULT code;
    };
    using Value = std::variant<std::vector<BYTE>, std::wstring, LONG, bool, Error>;
    struct Property {
        ULONG tag;  // strings with PT_UNICODE
        Value value;
    };
    void Set(ULONG tag, Value value);
    [[nodiscard]] const Property* Find(ULONG tag) const noexcept;
    [[nodiscard]] static HRESULT Fill(const Property* property, ULONG wanted, void* parent,
                                      SPropValue& out) noexcept;

    std::vector<Property> properties_;
};

}  // namespace standin::store
