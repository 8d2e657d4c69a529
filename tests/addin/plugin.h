// The add-in module as its hosts see it: loaded from the build's bin folder and used
// through its exports, the registry and the file.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "addin/connect_ids.h"
#include "base/com.h"
#include "base/unique_module.h"
#include "outlook/outlook_interfaces.h"

namespace addintest {

// The module's full path: TallowmerePlugin.dll beside this test program.
std::wstring PluginPath();

// The module loaded into this process for the owner's lifetime, and its exports.
class LoadedPlugin {
public:
    LoadedPlugin();
    [[nodiscard]] bool loaded() const noexcept { return module_.valid(); }

    [[nodiscard]] HRESULT CanUnloadNow() const;
    [[nodiscard]] HRESULT RegisterServer() const;
    [[nodiscard]] HRESULT UnregisterServer() const;

    // A new Connect object through the class object, as a host creates it.
    [[nodiscard]] HRESULT CreateConnect(base::ComPtr<_IDTExtensibility2>& connect) const;

private:
    template <typename Export>
    [[nodiscard]] Export Find(const char* name) const {
        return reinterpret_cast<Export>(reinterpret_cast<void*>(GetProcAddress(module_.get(), name)));
    }

    base::UniqueModule module_;
};

// Loads the module and registers it as its installer does, so that a host started
// afterwards loads it; the module's failure, or ERROR_MOD_NOT_FOUND.
[[nodiscard]] HRESULT RegisterPlugin();

// The registry form "{...}" of a GUID.
std::wstring GuidText(const GUID& guid);

// The Outlook add-in key that registration writes below HKEY_CURRENT_USER.
inline constexpr wchar_t kAddInKey[] =
    L"Software\\Microsoft\\Office\\Outlook\\Addins\\TallowmerePlugin.Connect";
// The keys that registration writes below the classes root, each with all below it.
std::vector<std::wstring> ClassKeys();
// Whether `path` below `root` opens for reading.
bool KeyExists(HKEY root, const std::wstring& path);

}  // namespace addintest
