// Outlook's Application class as a running Outlook offers it to the apartments of its
// process: the host's main thread, Outlook's single-threaded apartment, registers the
// class object while the application runs (CoRegisterClassObject, CLSCTX_LOCAL_SERVER),
// so CoCreateInstance on any other thread gets a proxy and every object-model call runs
// on the main thread, as in Outlook.
//
// Under Wine the class object registered so reaches the other apartments through a
// marshaling context of another process (MSHCTX_LOCAL), and everything obtained through
// it inherits that context: an IUnknown returned by a member (MAPIOBJECT) then comes as
// a standard proxy, which cannot be queried for IMessage, where Windows hands the
// free-threaded message over as it is. So the registered class object marshals itself
// (IMarshal, custom marshaling) as a cookie of the global interface table, under which
// a plain class object of the same apartment is kept: the unmarshaler, a class of this
// module, turns the cookie back into the in-process proxy that Windows would give
// (IGlobalInterfaceTable::GetInterfaceFromGlobal).
#pragma once

#include <objbase.h>

#include "base/com.h"

namespace standin::outlook {

// The unmarshaler's class, registered by DllRegisterServer as this module's in-process
// server (ThreadingModel "Both"). {D99B70FB-251B-4505-9F56-0C0420E48CF7}
inline constexpr CLSID CLSID_RunningClassUnmarshaler = {
    0xD99B70FB, 0x251B, 0x4505, {0x9F, 0x56, 0x0C, 0x04, 0x20, 0xE4, 0x8C, 0xF7}};

// The registration of the running class, from the thread that made it (a
// single-threaded apartment that pumps messages) until Revoke, on the same thread.
class RunningClass {
public:
    RunningClass() noexcept = default;
    ~RunningClass() { Revoke(); }
    RunningClass(const RunningClass&) = delete;
    RunningClass& operator=(const RunningClass&) = delete;

    // Offers `factory` (this apartment's class object of Outlook's Application class) to
    // the process's other apartments.
    [[nodiscard]] HRESULT Register(IClassFactory* factory) noexcept;
    void Revoke() noexcept;

private:
    DWORD registration_ = 0;  // CoRegisterClassObject's cookie
    DWORD tableCookie_ = 0;   // the global interface table's
};

// The class object of CLSID_RunningClassUnmarshaler, for DllGetClassObject.
[[nodiscard]] IClassFactory& UnmarshalerClass() noexcept;

}  // namespace standin::outlook
