// Owners of Win32 resources: each closes what it holds exactly once, from the
// line that acquired it. Copying is deleted, moving is explicit, and a reset keeps
// the caller's GetLastError() so error paths can still report the original code.
#pragma once

#include <windows.h>
#include <aclapi.h>
#include <wincrypt.h>

#include <utility>

namespace base {

template <typename Traits>
class UniqueResource {
public:
    using Type = typename Traits::Type;

    UniqueResource() noexcept = default;
    explicit UniqueResource(Type value) noexcept : value_(value) {}
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    ~UniqueResource() { reset(); }

    [[nodiscard]] Type get() const noexcept { return value_; }
    [[nodiscard]] bool valid() const noexcept { return value_ != Traits::Invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    [[nodiscard]] Type release() noexcept { return std::exchange(value_, Traits::Invalid()); }

    void reset(Type value = Traits::Invalid()) noexcept {
        Type old = std::exchange(value_, value);
        if (old != Traits::Invalid()) {
            const DWORD error = GetLastError();
            Traits::Close(old);
            SetLastError(error);
        }
    }

    // Releases what is held, then hands out the address for an out-parameter.
    [[nodiscard]] Type* put() noexcept {
        reset();
        return &value_;
    }

private:
    Type value_ = Traits::Invalid();
};

// The traits of an owner whose empty value is null and that `close` closes.
template <typename T, auto close>
struct NullTraits {
    using Type = T;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type value) noexcept { close(value); }
};

struct FileHandleTraits {  // CreateFileW and friends fail with INVALID_HANDLE_VALUE
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) noexcept { ::CloseHandle(h); }
};
struct FindTraits {  // FindFirstFileW fails with INVALID_HANDLE_VALUE
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) noexcept { ::FindClose(h); }
};
template <typename T>
struct LocalTraits {
    using Type = T;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type p) noexcept { ::LocalFree(reinterpret_cast<HLOCAL>(p)); }
};
struct CryptProvTraits {
    using Type = HCRYPTPROV;
    static Type Invalid() noexcept { return 0; }
    static void Close(Type prov) noexcept { ::CryptReleaseContext(prov, 0); }
};
struct CryptHashTraits {
    using Type = HCRYPTHASH;
    static Type Invalid() noexcept { return 0; }
    static void Close(Type hash) noexcept { ::CryptDestroyHash(hash); }
};

using UniqueHandle = UniqueResource<NullTraits<HANDLE, ::CloseHandle>>;  // events, mutexes, mappings, threads
using UniqueFile = UniqueResource<FileHandleTraits>;
using UniqueFind = UniqueResource<FindTraits>;
using UniqueView = UniqueResource<NullTraits<void*, ::UnmapViewOfFile>>;
template <typename T>
using UniqueLocal = UniqueResource<LocalTraits<T>>;
using UniqueSid = UniqueResource<NullTraits<PSID, ::FreeSid>>;  // from AllocateAndInitializeSid
using UniqueRegKey = UniqueResource<NullTraits<HKEY, ::RegCloseKey>>;
using UniqueCryptProv = UniqueResource<CryptProvTraits>;
using UniqueCryptHash = UniqueResource<CryptHashTraits>;

}  // namespace base
