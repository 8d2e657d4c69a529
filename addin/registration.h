// The pieces of the module's registration: the Outlook add-in key of the current user,
// the registration scripts and the type library. CTallowmerePluginModule puts them in
// order. Called on the registering thread, which has entered COM.
#pragma once

#include <windows.h>

#include <span>

namespace addin {

// Creates HKCU\Software\Microsoft\Office\Outlook\Addins\TallowmerePlugin.Connect with
// LoadBehavior 3 and the two texts, stored without a terminating zero. Failures are
// silent: they never change the result of registration.
void RegisterAddInKey() noexcept;
// Deletes that key; every failure is ignored.
void UnregisterAddInKey() noexcept;

// A %KEY% of a registration script and the text that replaces it.
struct Replacement {
    const wchar_t* key;
    const wchar_t* value;
};
enum class ScriptMode { kRegister, kUnregister };

// Runs the REGISTRY resource `resourceId` of the module at `modulePath` through the
// system's registrar.
[[nodiscard]] HRESULT RunRegistrationScript(const wchar_t* modulePath, UINT resourceId,
                                            std::span<const Replacement> replacements,
                                            ScriptMode mode) noexcept;

// Registers the module's type library (its TYPELIB resource 1), with the module's
// folder as help folder; unregisters it by the library's own ID, version, locale and
// system kind.
[[nodiscard]] HRESULT RegisterTypeLibrary(const wchar_t* modulePath) noexcept;
[[nodiscard]] HRESULT UnregisterTypeLibrary(const wchar_t* modulePath) noexcept;

// Runs registration in the system's default locale: the thread's locale is switched for
// the owner's lifetime and restored on every exit.
class SystemThreadLocale {
public:
    SystemThreadLocale() noexcept : saved_(::GetThreadLocale()) { ::SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
    SystemThreadLocale(const SystemThreadLocale&) = delete;
    SystemThreadLocale& operator=(const SystemThreadLocale&) = delete;
    ~SystemThreadLocale() { ::SetThreadLocale(saved_); }

private:
    LCID saved_;
};

}  // namespace addin
