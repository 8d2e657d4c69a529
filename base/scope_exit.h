// A call made on every way out of a scope, for what must be balanced and has no owner
// of its own (a logoff after a logon).
#pragma once

#include <utility>

namespace base {

template <typename Call>
class [[nodiscard]] ScopeExit {
public:
    explicit ScopeExit(Call call) noexcept : call_(std::move(call)) {}
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    ~ScopeExit() { call_(); }

private:
    Call call_;
};

}  // namespace base
