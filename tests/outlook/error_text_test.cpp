// ErrorText: the system's text without its line break, and both fallbacks.
#include <gtest/gtest.h>

#include <string>

#include "outlook/error_text.h"

namespace {

using outlook::ErrorText;

TEST(ErrorTextTest, SystemTextWithoutItsLineBreakOrAFallback) {
    const struct {
        HRESULT hr;
        const wchar_t* expected;  // null: the system's own text, without its line break
    } cases[] = {
        {static_cast<HRESULT>(ERROR_ACCESS_DENIED), nullptr},
        {E_OUTOFMEMORY, nullptr},
        {static_cast<HRESULT>(0x80040205), L"IDispatch error #5"},
        {static_cast<HRESULT>(0x8004FFFF), L"IDispatch error #65023"},    // the range's last
        {static_cast<HRESULT>(0x80040200), L"Unknown error 0x80040200"},  // just below the range
        {static_cast<HRESULT>(0x80050000), L"Unknown error 0x80050000"},  // just above it
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        ErrorText text(cases[i].hr);
        ASSERT_NE(nullptr, text.c_str()) << "case " << i;
        const std::wstring got = text.c_str();
        if (cases[i].expected) {
            EXPECT_EQ(cases[i].expected, got) << "case " << i;
        } else {  // Wine's wording differs from Windows': only its shape is checked
            EXPECT_TRUE(!got.empty() && got.back() != L'\n' && got.back() != L'\r') << "case " << i << ": " << got.size();
            EXPECT_FALSE(got.starts_with(L"IDispatch error") || got.starts_with(L"Unknown error")) << "case " << i;
        }
    }
}

}  // namespace
