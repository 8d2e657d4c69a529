// The one place an exception is caught, in the manner of WIL's CATCH_RETURN: at the
// boundary of a COM method, an export or a request operation, and where a step may
// fail for want of memory without failing the whole. The body is written straight;
// what it throws (allocation failures, in practice) becomes a result here, and never
// leaves a noexcept function to end the host process.
#pragma once

#include <type_traits>
#include <utility>

namespace base {

// `body()`, or `failure` when it throws.
template <typename Body, typename Result = std::invoke_result_t<Body&>>
[[nodiscard]] Result ReturnOr(Body&& body, std::type_identity_t<Result> failure) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        return failure;
    }
}

// Runs `body`; false when it threw.
template <typename Body>
[[nodiscard]] bool Completes(Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace base
