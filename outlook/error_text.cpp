#include "outlook/error_text.h"

#include <wchar.h>

namespace outlook {
namespace {

constexpr DWORD kFormatFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
constexpr HRESULT kDispatchErrorBase = static_cast<HRESULT>(0x80040200);
constexpr HRESULT kDispatchErrorLast = static_cast<HRESULT>(0x8004FFFF);
constexpr size_t kFallbackLength = 32;

// The system's message, with the line break the system ends it with removed.
[[nodiscard]] base::UniqueLocal<wchar_t*> SystemText(HRESULT hr) noexcept {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(kFormatFlags, nullptr, static_cast<DWORD>(hr),
                                          MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                          reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    base::UniqueLocal<wchar_t*> text(buffer);
    if (length > 1 && buffer[length - 1] == L'\n') {
        buffer[length - 1] = L'\0';
        if (buffer[length - 2] == L'\r') buffer[length - 2] = L'\0';
    }
    return text;
}

[[nodiscard]] base::UniqueLocal<wchar_t*> FallbackText(HRESULT hr) noexcept {
    base::UniqueLocal<wchar_t*> text(
        static_cast<wchar_t*>(::LocalAlloc(LMEM_FIXED, kFallbackLength * sizeof(wchar_t))));
    if (!text) return text;
    if (hr > kDispatchErrorBase && hr <= kDispatchErrorLast) {
        _snwprintf(text.get(), kFallbackLength, L"IDispatch error #%d",
                   static_cast<int>(static_cast<WORD>(hr - kDispatchErrorBase)));
    } else {
        _snwprintf(text.get(), kFallbackLength, L"Unknown error 0x%0lX", static_cast<unsigned long>(hr));
    }
    return text;
}

}  // namespace

const wchar_t* ErrorText::c_str() noexcept {
    if (!text_) text_ = SystemText(hr_);
    if (!text_) text_ = FallbackText(hr_);
    return text_.get();
}

}  // namespace outlook
