// What the host program calls in the object model module (outlook-object-model.dll),
// besides its COM server exports.
//
// The arrangement: Outlook's add-ins reach Outlook from their worker threads with
// CoCreateInstance of Outlook's Application class and use what they get on those
// threads, down to the IMessage behind a mail. Under Wine an object served from
// another apartment comes through standard proxies, which cannot carry an IMessage;
// an in-process server with ThreadingModel "Both" gives direct pointers on every
// apartment. So this module is registered as the InprocServer32 of Outlook's
// Application class (DllRegisterServer, under HKCR: Wine's CoCreateInstance does
// not look in HKCU\Software\Classes), the host loads it and opens the application
// on its profile, and every CoCreateInstance in the host's process, on any thread,
// is answered by that one running application. The module reads the profile with
// the store's own code, and makes the profile the one that MAPILogonEx with
// MAPI_ALLOW_OTHERS joins in this process, so an add-in's MAPI session, through
// the stand-in mapi32.dll, sees the same stores, folders and items. Quit signals
// an event that the host's message loop waits for.
//
// The functions may be called on any thread.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <olectl.h>

extern "C" {

// Opens the application of this process on the profile in `profileFolder` (null
// or empty: the profile that MAPILogonEx with MAPI_ALLOW_OTHERS would find), and
// sets STANDIN_MAPI_PROFILE to that folder, made absolute. Gives the profile's
// name (the caller frees it) and the event Application.Quit signals (manual
// reset; owned by the module, valid until OutlookStandinClose). From now on
// CoCreateInstance of Outlook's Application class gives this application; before,
// it fails with CO_E_SERVER_EXEC_FAILURE. CO_E_ALREADYINITIALIZED when open
// already; the store's error when the profile cannot be read.
HRESULT WINAPI OutlookStandinOpen(const wchar_t* profileFolder, BSTR* profileName,
                                  HANDLE* quitRequested) noexcept;

// Lists the add-in `progId` in Application.COMAddIns; `entry` is its COMAddIn,
// which the host hands to the add-in's OnConnection.
HRESULT WINAPI OutlookStandinAddAddIn(const wchar_t* progId, IDispatch** entry) noexcept;

// Disconnects every add-in entry (releasing what the add-ins published through
// COMAddIn.Object) and closes the application: CoCreateInstance fails again, while
// objects still held keep working.
void WINAPI OutlookStandinClose() noexcept;

}  // extern "C"

// DllRegisterServer (olectl.h), also exported for the host: registers the module as
// the in-process server of Outlook's Application class, and the type library it
// carries, Microsoft's Add-In Designer library {AC0714F2-3D04-11D1-AE7D-00A0C90F26F4}
// 1.0, which describes _IDTExtensibility2 for add-ins that serve their IDispatch
// from it. Idempotent, so a host registers at every start.
