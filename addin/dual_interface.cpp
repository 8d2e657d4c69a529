#include "addin/dual_interface.h"

#include <oleauto.h>

#include <string>

#include "addin/module.h"

namespace addin {

HRESULT TypeInfoCache::Get(ITypeInfo** info) noexcept {
    if (!info) return E_POINTER;
    *info = nullptr;
    const base::ScopedLock lock(g_module.typeInfoLock());
    if (!info_) {
        base::ComPtr<ITypeLib> library;
        HRESULT hr = LoadTypeLibrary(library.put());
        if (FAILED(hr)) return hr;
        hr = library->GetTypeInfoOfGuid(iid_, info_.put());
        if (FAILED(hr)) return hr;
    }
    info_->AddRef();
    *info = info_.get();
    return S_OK;
}

HRESULT TypeInfoCache::LoadTypeLibrary(ITypeLib** library) const noexcept {
    if (libraryId_) return ::LoadRegTypeLib(*libraryId_, major_, minor_, LOCALE_USER_DEFAULT, library);
    std::wstring path;
    const HRESULT hr = g_module.GetModulePath(path);
    if (FAILED(hr)) return hr;
    return ::LoadTypeLibEx(path.c_str(), REGKIND_NONE, library);
}

}  // namespace addin
