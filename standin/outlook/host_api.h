// What the host program calls in the object model module (outlook-object-model.dll),
// besides its COM server exports.
//
// The arrangement is Outlook's: the object model lives in the host's main thread, a
// single-threaded apartment that pumps messages. While the application is open the host
// thread offers Outlook's Application class to the process (running_class.h), so an
// add-in's worker thread, in an apartment of its own, gets a proxy from CoCreateInstance
// and each of its object-model calls runs on the main thread, waiting while that thread
// is busy. The MAPI objects it reaches (MAPIOBJECT's message, and its own sessions,
// stores and folders through the stand-in mapi32.dll) are free-threaded and cross
// apartments as they are. The module reads the profile with the store's own code, and
// makes the profile the one that MAPILogonEx with MAPI_ALLOW_OTHERS joins in this
// process. Quit signals an event that the host's message loop waits for.
//
// OutlookStandinOpen and OutlookStandinClose are called on that thread; the others may
// be called on any thread.
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
// CoCreateInstance of Outlook's Application class gives this application, on this
// thread itself and as a proxy on every other; before, the class is not found.
// CO_E_ALREADYINITIALIZED when open already; the store's error when the profile cannot
// be read; COM's when the class cannot be registered (CO_E_NOTINITIALIZED on a thread
// outside COM).
HRESULT WINAPI OutlookStandinOpen(const wchar_t* profileFolder, BSTR* profileName,
                                  HANDLE* quitRequested) noexcept;

// What the open profile asks of the host (standin/store/profile.h, ProfileSettings):
// how long its main thread serves nothing once the add-in is connected, and the C
// runtime locale it sets before it loads add-ins (empty: none).
struct OutlookStandinHostSettings {
    DWORD mainThreadBusyMs;
    wchar_t locale[LOCALE_NAME_MAX_LENGTH];
};
// E_UNEXPECTED when no application is open; ERROR_INSUFFICIENT_BUFFER for a longer locale.
HRESULT WINAPI OutlookStandinGetHostSettings(OutlookStandinHostSettings* settings) noexcept;

// What the object model has served since the module loaded, on whatever thread: each
// IDispatch::Invoke of a member and each GetIDsOfNames. A caller in another apartment
// pays a crossing to the main thread for each.
struct OutlookStandinCallCounts {
    unsigned long long invoked;
    unsigned long long namesLookedUp;
};
void WINAPI OutlookStandinGetCallCounts(OutlookStandinCallCounts* counts) noexcept;

// Lists the add-in `progId` in Application.COMAddIns; `entry` is its COMAddIn,
// which the host hands to the add-in's OnConnection.
HRESULT WINAPI OutlookStandinAddAddIn(const wchar_t* progId, IDispatch** entry) noexcept;

// Revokes the class, disconnects every add-in entry (releasing what the add-ins
// published through COMAddIn.Object) and closes the application: CoCreateInstance
// fails again, while objects still held keep working.
void WINAPI OutlookStandinClose() noexcept;

}  // extern "C"

// DllRegisterServer (olectl.h), also exported for the host: registers the module as
// the in-process server of the running class's unmarshaler (running_class.h), and the
// type libraries it carries: Microsoft's Add-In Designer library
// {AC0714F2-3D04-11D1-AE7D-00A0C90F26F4} 1.0, which describes _IDTExtensibility2 for
// add-ins that serve their IDispatch from it, and that of the object model's
// interfaces, by which COM makes their proxies. Outlook's Application class has no
// in-process server: a running host offers it. Idempotent, so a host registers at every
// start.
