// A small add-in for the host's tests, "OutlookStandinTest.Connect": it records,
// one line each, what its host calls, and publishes itself through COMAddIns as
// the real add-in does. The test that starts the host names the file the lines are
// appended to (UTF-8, LF) in OUTLOOK_STANDIN_TEST_LOG.
#include <windows.h>
#include <ole2.h>
#include <olectl.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "base/com.h"
#include "base/com_object.h"
#include "base/unique_resource.h"
#include "base/unique_variant.h"
#include "outlook/object_model.h"
#include "outlook/outlook_interfaces.h"
#include "tests/standin/outlook/test_addin/test_addin_ids.h"

namespace {

std::wstring Environment(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableW(name, value, MAX_PATH);
    return length < MAX_PATH ? std::wstring(value, length) : std::wstring();
}

// Appends one line to the log file, whole, whichever thread writes.
void Record(const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(line, sizeof(line) - 1, format, args);
    va_end(args);
    if (length <= 0) return;
    const size_t size = static_cast<size_t>(length) < sizeof(line) - 1 ? static_cast<size_t>(length) : sizeof(line) - 2;
    line[size] = '\n';
    const base::UniqueFile file(::CreateFileW(Environment(kTestLogVariable).c_str(), FILE_APPEND_DATA,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file) static_cast<void>(::WriteFile(file.get(), line, static_cast<DWORD>(size + 1), &written, nullptr));
}

class Connect final : public base::ComObject<_IDTExtensibility2> {
public:
    ~Connect() override { Record("destroyed"); }

    // Only its vtable is used: no type information.
    STDMETHODIMP GetTypeInfoCount(UINT* count) noexcept override {
        if (count) *count = 0;
        return count ? S_OK : E_POINTER;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) noexcept override { return DISP_E_BADINDEX; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) noexcept override { return DISP_E_UNKNOWNNAME; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) noexcept override {
        return DISP_E_MEMBERNOTFOUND;
    }

    STDMETHODIMP OnConnection(IDispatch* application, ext_ConnectMode mode, IDispatch* addInInst,
                              SAFEARRAY**) noexcept override {
        base::ComPtr<_Application> outlookApplication;
        const bool isOutlook = application && SUCCEEDED(application->QueryInterface(
                                                  __uuidof(_Application), outlookApplication.put_void()));
        base::ComPtr<COMAddIn> self;
        const bool addInInstIsEntry =
            addInInst && SUCCEEDED(addInInst->QueryInterface(__uuidof(COMAddIn), self.put_void()));
        Record("OnConnection mode=%d outlook=%d entry=%d published=0x%08lx", static_cast<int>(mode), isOutlook,
               addInInstIsEntry, static_cast<unsigned long>(Publish(outlookApplication.get())));
        return S_OK;
    }
    STDMETHODIMP OnDisconnection(ext_DisconnectMode mode, SAFEARRAY**) noexcept override {
        Record("OnDisconnection mode=%d", static_cast<int>(mode));
        return S_OK;
    }
    STDMETHODIMP OnAddInsUpdate(SAFEARRAY**) noexcept override {
        Record("OnAddInsUpdate");
        return S_OK;
    }
    STDMETHODIMP OnStartupComplete(SAFEARRAY**) noexcept override {
        Record("OnStartupComplete");
        return S_OK;
    }
    STDMETHODIMP OnBeginShutdown(SAFEARRAY**) noexcept override {
        Record("OnBeginShutdown");
        return S_OK;
    }

private:
    [[nodiscard]] std::span<const InterfaceEntry> Table() const noexcept override {
        static constexpr InterfaceEntry kInterfaces[] = {{&IID_IDispatch}, {&__uuidof(_IDTExtensibility2)}};
        return kInterfaces;
    }

    // COMAddIns.Item(own ProgID).Object = this, as the add-in publishes itself.
    [[nodiscard]] HRESULT Publish(_Application* application) noexcept {
        base::ComPtr<COMAddIns> addIns;
        HRESULT hr = outlook::GetCOMAddIns(application, addIns);
        if (FAILED(hr)) return hr;
        base::UniqueVariant progId;
        if (FAILED(hr = progId.SetText(kTestAddInProgId))) return hr;
        base::ComPtr<COMAddIn> entry;
        if (FAILED(hr = outlook::Item(addIns.get(), progId.get(), entry))) return hr;
        return outlook::PutObject(entry.get(), this);
    }

};

base::ClassFactory<&base::CreateNew<Connect>> g_connectClass;

[[nodiscard]] HRESULT SetClassesText(const std::wstring& subkey, const wchar_t* name, const std::wstring& text) {
    base::UniqueRegKey key;
    LSTATUS status = ::RegCreateKeyExW(HKEY_CLASSES_ROOT, subkey.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                       key.put(), nullptr);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    status = ::RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    return HRESULT_FROM_WIN32(status);
}

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    return base::GetClassObject(CLSID_TestAddIn, g_connectClass, clsid, iid, out);
}

STDAPI DllCanUnloadNow() { return base::CanUnloadNow(); }

// The ProgID and the class, in-process with ThreadingModel "Both", under HKCR.
STDAPI DllRegisterServer() {
    HMODULE module = nullptr;
    wchar_t path[MAX_PATH] = {};
    wchar_t clsid[39] = {};
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&DllRegisterServer), &module) ||
        ::GetModuleFileNameW(module, path, MAX_PATH) == 0 || ::StringFromGUID2(CLSID_TestAddIn, clsid, 39) == 0) {
        return E_FAIL;
    }
    const std::wstring classKey = std::wstring(L"CLSID\\") + clsid;
    HRESULT hr = S_OK;
    if (FAILED(hr = SetClassesText(std::wstring(kTestAddInProgId) + L"\\CLSID", nullptr, clsid)) ||
        FAILED(hr = SetClassesText(classKey + L"\\InprocServer32", nullptr, path)) ||
        FAILED(hr = SetClassesText(classKey + L"\\InprocServer32", L"ThreadingModel", L"Both"))) {
        return hr;
    }
    return S_OK;
}
