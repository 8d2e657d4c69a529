// The text of an HRESULT for failure messages in the log:
//   LogMessage(L"... failed with %s", ErrorText(hr).c_str());
#pragma once

#include <windows.h>

#include "base/unique_resource.h"

namespace outlook {

class ErrorText {
public:
    explicit ErrorText(HRESULT hr) noexcept : hr_(hr) {}

    // The system's text for the code without its final line break; without one,
    // "IDispatch error #N" for 0x80040201..0x8004FFFF (N = hr - 0x80040200) and
    // "Unknown error 0x<HEX>" for any other code. Formatted on the first call and
    // kept; null only when even the fallback's memory cannot be had.
    [[nodiscard]] const wchar_t* c_str() noexcept;

private:
    HRESULT hr_;
    base::UniqueLocal<wchar_t*> text_;
};

}  // namespace outlook
