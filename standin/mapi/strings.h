// String properties between their 8-bit and Unicode forms.
//
// The rule, as MAPI converts: a text stored as PT_UNICODE and asked for as
// PT_STRING8 (or the reverse) is converted through the object's code page:
// PR_MESSAGE_CODEPAGE when it holds a valid code page ("PidTagMessageCodepage
// Canonical Property": the code page of the message's 8-bit strings), else, for
// the body alone, PR_INTERNET_CPID ("PidTagInternetCodepage Canonical Property":
// the code page of PR_BODY), else the system's ANSI code page (CP_ACP). The
// conversion is WideCharToMultiByte / MultiByteToWideChar with no flags and the
// code page's default character, so a character the code page cannot hold
// becomes its best-fit look-alike where Windows has one ("ā" -> "a" in 1252) and
// the default character ("?") otherwise; undecodable bytes become what the code
// page maps them to (U+FFFD in UTF-8).
// The add-in reads text 8-bit first and hashes the result, so its mail signatures
// depend on exactly this.
#pragma once

#include "standin/mapi/mapi.h"

#include <span>
#include <string>

namespace standin {

// The code page of property `tag` of an object whose properties are `values`, as above.
[[nodiscard]] UINT CodePageOf(std::span<const SPropValue> values, ULONG tag) noexcept;

// Converts a PT_STRING8 / PT_UNICODE value (or their multi-valued forms) to
// `wantedType`, the other width of the same kind; data tied to `parent` by
// `allocateMore`.
[[nodiscard]] HRESULT ConvertStringValue(const SPropValue& src, ULONG wantedType, UINT codePage, void* parent,
                                         SPropValue& dst,
                                         LPALLOCATEMORE allocateMore = &::MAPIAllocateMore) noexcept;

// True when `a` and `b` are the two widths of one string type (single or multi).
[[nodiscard]] bool AreStringTwins(ULONG a, ULONG b) noexcept;

// Plain conversions for callers that hold std strings; they throw std::bad_alloc.
[[nodiscard]] std::wstring ToWide(UINT codePage, std::string_view text);
[[nodiscard]] std::string ToNarrow(UINT codePage, std::wstring_view text);

}  // namespace standin
