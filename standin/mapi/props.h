// Property values as the stand-in keeps and hands them out: deep copies into MAPI
// buffers, error values, look-up and ordering. Any thread; nothing shared.
#pragma once

#include "standin/mapi/mapi.h"

#include <optional>
#include <span>

namespace standin {

// Copies `src` into `dst`; whatever the value points to (strings, binaries,
// arrays) is copied into blocks tied to `parent` with `allocateMore` (a message
// hands out buffers of the allocator its opener gave it). Types the stand-in does
// not know fail with MAPI_E_INVALID_TYPE.
[[nodiscard]] HRESULT CopyPropValue(const SPropValue& src, void* parent, SPropValue& dst,
                                    LPALLOCATEMORE allocateMore = &::MAPIAllocateMore) noexcept;

// Copies `values` into one new MAPI buffer (an SPropValue array with its data
// tied to it); the caller frees it with MAPIFreeBuffer.
[[nodiscard]] HRESULT CopyPropArray(std::span<const SPropValue> values, SPropValue** out) noexcept;

// The value MAPI gives in place of a property it cannot return: type PT_ERROR.
[[nodiscard]] SPropValue ErrorValue(ULONG tag, SCODE error) noexcept;

// The first value with the property id of `tag` (its type is not compared).
[[nodiscard]] const SPropValue* FindPropById(std::span<const SPropValue> values, ULONG tag) noexcept;

// Three-way ordering of two single values of one type (strings of either width
// compare with each other); nullopt for types that have no order here.
[[nodiscard]] std::optional<int> ComparePropValues(const SPropValue& a, const SPropValue& b) noexcept;

// The element size of a multi-valued type whose elements hold no pointers
// (PT_MV_I2 ... PT_MV_CLSID); 0 for every other type.
[[nodiscard]] std::size_t FixedArrayElementSize(ULONG type) noexcept;

}  // namespace standin
