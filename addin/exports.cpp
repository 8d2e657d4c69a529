// The module's entry point and its four COM server exports (TallowmerePlugin.def).
// Everything they call is noexcept: nothing escapes into the caller.
#include <windows.h>
#include <olectl.h>

#include "addin/module.h"

using addin::g_module;

// Reached through the runtime's entry wrapper, after the static objects (the mail
// server among them) are constructed.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        return g_module.Attach(instance) ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
        g_module.Detach();
        return TRUE;
    default:
        return TRUE;
    }
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    return g_module.GetClassObject(clsid, iid, object);
}

STDAPI DllCanUnloadNow() { return g_module.CanUnloadNow(); }

STDAPI DllRegisterServer() { return g_module.RegisterServer(); }

STDAPI DllUnregisterServer() { return g_module.UnregisterServer(); }
