// The interfaces of Office and Outlook that the add-in and the stand-in host share:
// the add-in connection interface, and the automation interfaces of Outlook's object
// model, one definition for both sides.
//
// Outlook's and Office's interfaces are declared here by their IDs alone: every
// operation on them is reached by name through IDispatch (outlook/object_model.h),
// so one binary works with any Outlook and with the stand-in, whose objects answer
// QueryInterface for these IDs and serve the operations through IDispatch.
#pragma once

#include <objbase.h>
#include <oaidl.h>

// How the host connected the add-in (the host's own; the add-in does not look at it).
enum ext_ConnectMode {
    ext_cm_AfterStartup = 0,
    ext_cm_Startup = 1,
    ext_cm_External = 2,
    ext_cm_CommandLine = 3,
};

// Why the host disconnects the add-in.
enum ext_DisconnectMode {
    ext_dm_HostShutdown = 0,
    ext_dm_UserClosed = 1,
};

// The add-in connection interface a host drives an add-in through, in vtable order
// after IDispatch. Each `custom` is the host's and may be null.
MIDL_INTERFACE("B65AD801-ABAF-11D0-BB8B-00A0C90F2744")
_IDTExtensibility2 : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE OnConnection(IDispatch * Application, ext_ConnectMode ConnectMode,
                                                   IDispatch * AddInInst, SAFEARRAY * *custom) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnDisconnection(ext_DisconnectMode RemoveMode, SAFEARRAY * *custom) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnAddInsUpdate(SAFEARRAY * *custom) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnStartupComplete(SAFEARRAY * *custom) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnBeginShutdown(SAFEARRAY * *custom) = 0;
};
__CRT_UUID_DECL(_IDTExtensibility2, 0xB65AD801, 0xABAF, 0x11D0, 0xBB, 0x8B, 0x00, 0xA0, 0xC9, 0x0F, 0x27,
                0x44)

// The type library that describes _IDTExtensibility2 for IDispatch callers, version 1.0,
// found through the registry where the host installed it.
inline constexpr GUID LIBID_AddInDesignerObjects = {
    0xAC0714F2, 0x3D04, 0x11D1, {0xAE, 0x7D, 0x00, 0xA0, 0xC9, 0x0F, 0x26, 0xF4}};
inline constexpr WORD kAddInDesignerObjectsMajor = 1;
inline constexpr WORD kAddInDesignerObjectsMinor = 0;

// An interface of Office's object model, known by its ID {data1-0000-0000-C000-000000000046}
// and used through IDispatch only.
#define OFFICE_AUTOMATION_INTERFACE(name, data1) \
    struct name : public IDispatch {};           \
    __CRT_UUID_DECL(name, data1, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)

OFFICE_AUTOMATION_INTERFACE(_Application, 0x00063001)
OFFICE_AUTOMATION_INTERFACE(_NameSpace, 0x00063002)
OFFICE_AUTOMATION_INTERFACE(MAPIFolder, 0x00063006)
OFFICE_AUTOMATION_INTERFACE(_MailItem, 0x00063034)
OFFICE_AUTOMATION_INTERFACE(_Folders, 0x00063040)
OFFICE_AUTOMATION_INTERFACE(_Items, 0x00063041)
OFFICE_AUTOMATION_INTERFACE(COMAddIns, 0x000C0339)
OFFICE_AUTOMATION_INTERFACE(COMAddIn, 0x000C033A)

#undef OFFICE_AUTOMATION_INTERFACE

// Outlook's Application class: CoCreateInstance of it gives the running application.
inline constexpr CLSID CLSID_OutlookApplication = {
    0x0006F03A, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// NameSpace.GetDefaultFolder's folder kinds that the add-in asks for.
enum OlDefaultFolders : long {
    olFolderDeletedItems = 3,
    olFolderInbox = 6,
    olFolderJunk = 23,
};

// MAPIFolder.DefaultItemType of mail folders.
inline constexpr long olMailItem = 0;
