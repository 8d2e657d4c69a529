// MAPILogonEx: a session on a profile of the stand-in's mail store (see
// standin/store/logon.h for which profile a logon finds).
#include "standin/mapi/mapi.h"
#include "standin/store/logon.h"

extern "C" HRESULT WINAPI MAPILogonEx(ULONG_PTR, LPTSTR profileName, LPTSTR, ULONG flags,
                                      LPMAPISESSION* session) noexcept {
    if (!session) return MAPI_E_INVALID_PARAMETER;
    *session = nullptr;
    base::ComPtr<IMAPISession> created;
    const HRESULT hr = standin::store::Logon(profileName, flags, created);
    if (FAILED(hr)) return hr;
    *session = created.detach();
    return S_OK;
}
