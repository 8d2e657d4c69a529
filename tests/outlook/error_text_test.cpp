// ErrorText: the system's text without its line break, and both fallbacks.
#include <gtest/gtest.h>

#include <string>

#include "base/unique_resource.h"
#include "outlook/error_text.h"

namespace {

using outlook::ErrorText;

// The system's own text for `code`, as FormatMessageW gives it; empty when it has none.
std::wstring RawSystemText(DWORD code) {
    wchar_t* buffer = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&buffer),
                   0, nullptr);
    base::UniqueLocal<wchar_t*> owner(buffer);
    return buffer ? buffer : L"";
}

TEST(ErrorTextTest, SystemTextLosesItsLineBreakOnly) {
    const HRESULT codes[] = {static_cast<HRESULT>(ERROR_ACCESS_DENIED), E_OUTOFMEMORY};
    for (size_t i = 0; i < std::size(codes); ++i) {
        const std::wstring raw = RawSystemText(static_cast<DWORD>(codes[i]));
        ASSERT_GE(raw.size(), 2u) << "case " << i << ": the system has no text for 0x" << std::hex << codes[i];
        ASSERT_EQ(L"\r\n", raw.substr(raw.size() - 2)) << "case " << i;
        ErrorText text(codes[i]);
        ASSERT_NE(nullptr, text.c_str()) << "case " << i;
        EXPECT_EQ(raw.substr(0, raw.size() - 2), text.c_str()) << "case " << i;
    }
}

TEST(ErrorTextTest, CodesWithoutSystemTextFallBack) {
    const struct {
        HRESULT hr;
        const wchar_t* expected;
    } cases[] = {
        {static_cast<HRESULT>(0x80040205), L"IDispatch error #5"},
        {static_cast<HRESULT>(0x8004FFFF), L"IDispatch error #65023"},  // the range's last
        {static_cast<HRESULT>(0x80040200), L"Unknown error 0x80040200"},  // just below the range
        {static_cast<HRESULT>(0x80050000), L"Unknown error 0x80050000"},  // just above it
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        ASSERT_EQ(L"", RawSystemText(static_cast<DWORD>(cases[i].hr))) << "case " << i << " has a system text";
        ErrorText text(cases[i].hr);
        ASSERT_NE(nullptr, text.c_str()) << "case " << i;
        EXPECT_STREQ(cases[i].expected, text.c_str()) << "case " << i;
    }
}

}  // namespace
