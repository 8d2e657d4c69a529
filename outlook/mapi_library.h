// Outlook's own MAPI library (msmapi32.dll), found under Common Files and bound by
// name, beside mapi32.dll, which the add-in imports by ordinal. Code that walks
// message stores is handed a MapiFunctions table and calls through it when it is
// complete, otherwise through the imports of the same functions (MapiRoute).
//
// A table lives on the stack of one request handler and is not shared between
// threads; the system's module reference counts keep the library loaded while any
// handler holds it.
#pragma once

#include <windows.h>
#include <mapix.h>

#include <memory>

namespace outlook {

// The functions' own signatures, with 8-bit text where MAPI takes it whatever
// UNICODE says (profile names go in as UTF-8; HexFromBin writes narrow digits).
using MapiInitializeFn = HRESULT WINAPI(LPVOID options);
using MapiUninitializeFn = void WINAPI();
using MapiLogonExFn = HRESULT WINAPI(ULONG_PTR uiParam, LPSTR profileName, LPSTR password, ULONG flags,
                                     LPMAPISESSION* session);
using MapiFreeBufferFn = ULONG WINAPI(LPVOID buffer);
using HexFromBinFn = void WINAPI(LPBYTE bytes, int count, LPSTR text);
using HrQueryAllRowsFn = HRESULT WINAPI(LPMAPITABLE table, LPSPropTagArray columns,
                                        LPSRestriction restriction, LPSSortOrderSet sortOrder, LONG maxRows,
                                        LPSRowSet* rows);
using FreeProwsFn = void WINAPI(LPSRowSet rows);
using HrGetOnePropFn = HRESULT WINAPI(LPMAPIPROP object, ULONG tag, LPSPropValue* value);

// All null when nothing is loaded; callers zero it before LoadMSMAPI.
struct MapiFunctions {
    HMODULE hModule;
    MapiInitializeFn* MAPIInitialize;
    MapiUninitializeFn* MAPIUninitialize;
    MapiLogonExFn* MAPILogonEx;
    MapiFreeBufferFn* MAPIFreeBuffer;
    HexFromBinFn* HexFromBin;
    HrQueryAllRowsFn* HrQueryAllRows;
    FreeProwsFn* FreeProws;
    HrGetOnePropFn* HrGetOneProp;
};

// Searches Common Files\System\MSMAPI\*\msmapi32.dll, then System\Mapi\*\msmapi32.dll,
// then System\Mapi\*\NT\mapi32.dll; binds whatever the first loadable one exports.
void LoadMSMAPI(MapiFunctions& table) noexcept;
// Frees the library (a fault while it unloads is swallowed) and zeroes the table.
HRESULT UnloadMSMAPI(MapiFunctions& table) noexcept;
// Loads the first `folder`<subfolder>`fileSuffix` that loads into table.hModule.
void FindMapiLibrary(MapiFunctions& table, const wchar_t* folder, const wchar_t* fileSuffix) noexcept;
// Binds the eight functions, decorated names first where the library may use them.
void BindMapiFunctions(MapiFunctions& table, HMODULE module) noexcept;

// All eight functions bound.
[[nodiscard]] bool IsComplete(const MapiFunctions* table) noexcept;
// The functions to call: a complete `table`, else mapi32.dll's imports (which carry
// no MAPIInitialize or MAPIUninitialize: the host has initialised MAPI).
[[nodiscard]] const MapiFunctions& MapiRoute(const MapiFunctions* table) noexcept;

// A request's loaded library: LoadMSMAPI on construction, UnloadMSMAPI on every way out.
class ScopedMapiLibrary {
public:
    ScopedMapiLibrary() noexcept { LoadMSMAPI(table_); }
    ~ScopedMapiLibrary() { static_cast<void>(UnloadMSMAPI(table_)); }
    ScopedMapiLibrary(const ScopedMapiLibrary&) = delete;
    ScopedMapiLibrary& operator=(const ScopedMapiLibrary&) = delete;
    [[nodiscard]] const MapiFunctions& table() const noexcept { return table_; }

private:
    MapiFunctions table_{};
};

// A MAPI buffer freed by the MAPIFreeBuffer of the route that allocated it.
struct MapiBufferFree {
    MapiFreeBufferFn* free;
    void operator()(void* buffer) const noexcept { free(buffer); }
};
template <typename T>
using RoutedMapiBuffer = std::unique_ptr<T, MapiBufferFree>;

// A row set freed by the FreeProws of the route that made it.
struct RowSetFree {
    FreeProwsFn* free;
    void operator()(SRowSet* rows) const noexcept { free(rows); }
};
using RoutedRowSet = std::unique_ptr<SRowSet, RowSetFree>;

}  // namespace outlook
