#include "outlook/mapi_library.h"

#include <excpt.h>
#include <mapiutil.h>
#include <shlobj.h>

#include <string>
#include <type_traits>

#include "base/boundary.h"
#include "base/unique_resource.h"

namespace outlook {
namespace {

// Path buffers of the search, terminator included.
constexpr size_t kPathCapacity = 1284;

// Where under Common Files a library may sit, one folder level below the folder, in
// the order they are searched.
struct LibraryPlace {
    const wchar_t* folder;
    const wchar_t* fileSuffix;
};
constexpr LibraryPlace kLibraryPlaces[] = {
    {L"\\System\\MSMAPI\\", L"\\msmapi32.dll"},
    {L"\\System\\Mapi\\", L"\\msmapi32.dll"},
    {L"\\System\\Mapi\\", L"\\NT\\mapi32.dll"},
};

// A field of the table and the export names that fill it, tried in order.
struct Binding {
    void (*assign)(MapiFunctions& table, FARPROC proc);
    const char* names[2];
};

template <auto Field>
void Assign(MapiFunctions& table, FARPROC proc) {
    using Pointer = std::remove_reference_t<decltype(table.*Field)>;
    table.*Field = reinterpret_cast<Pointer>(reinterpret_cast<void*>(proc));
}

constexpr Binding kBindings[] = {
    {&Assign<&MapiFunctions::MAPIInitialize>, {"MAPIInitialize", nullptr}},
    {&Assign<&MapiFunctions::MAPIUninitialize>, {"MAPIUninitialize", nullptr}},
    {&Assign<&MapiFunctions::MAPILogonEx>, {"MAPILogonEx", nullptr}},
    {&Assign<&MapiFunctions::MAPIFreeBuffer>, {"MAPIFreeBuffer", nullptr}},
    {&Assign<&MapiFunctions::HexFromBin>, {"HexFromBin@12", "HexFromBin"}},
    {&Assign<&MapiFunctions::HrQueryAllRows>, {"HrQueryAllRows@24", "HrQueryAllRows"}},
    {&Assign<&MapiFunctions::FreeProws>, {"FreeProws@4", "FreeProws"}},
    {&Assign<&MapiFunctions::HrGetOneProp>, {"HrGetOneProp@12", "HrGetOneProp"}},
};

// mapi32.dll's functions as the add-in imports them, by ordinal. The system headers
// declare the text parameters as TCHAR; MAPI takes 8-bit text there.
const MapiFunctions kImported = {
    nullptr,           nullptr,
    nullptr,           reinterpret_cast<MapiLogonExFn*>(&::MAPILogonEx),
    &::MAPIFreeBuffer, reinterpret_cast<HexFromBinFn*>(&::HexFromBin),
    &::HrQueryAllRows, &::FreeProws,
    &::HrGetOneProp,
};

bool IsSubfolder(const WIN32_FIND_DATAW& entry) {
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && std::wcscmp(entry.cFileName, L".") != 0 &&
           std::wcscmp(entry.cFileName, L"..") != 0;
}

}  // namespace
}  // namespace outlook

// The structured-exception filter of FreeLibraryGuarded: a fault raised while the
// library unloads (its DllMain, its atexit handlers) is swallowed.
extern "C" LONG FreeLibraryFaultFilter(EXCEPTION_POINTERS*, void*) { return EXCEPTION_EXECUTE_HANDLER; }

namespace outlook {
namespace {

// Not noexcept, and without locals to destroy: the frame carries only the guard's handler.
__attribute__((noinline)) void FreeLibraryGuarded(HMODULE module) {
    __try1(FreeLibraryFaultFilter)::FreeLibrary(module);
    __except1
}

}  // namespace

void FindMapiLibrary(MapiFunctions& table, const wchar_t* folder, const wchar_t* fileSuffix) noexcept {
    // No memory for a path: no library from this folder.
    static_cast<void>(base::Completes([&] {
        WIN32_FIND_DATAW entry{};
        const base::UniqueFind search(::FindFirstFileW((std::wstring(folder) + L"*.*").c_str(), &entry));
        if (!search || !search.get()) return;
        do {
            if (!IsSubfolder(entry)) continue;
            const std::wstring candidate = std::wstring(folder) + entry.cFileName + fileSuffix;
            table.hModule = ::LoadLibraryW(candidate.c_str());
        } while (!table.hModule && ::FindNextFileW(search.get(), &entry));
    }));
}

void BindMapiFunctions(MapiFunctions& table, HMODULE module) noexcept {
    for (const Binding& binding : kBindings) {
        FARPROC proc = nullptr;
        for (const char* name : binding.names) {
            if (name && !proc) proc = ::GetProcAddress(module, name);
        }
        binding.assign(table, proc);
    }
}

void LoadMSMAPI(MapiFunctions& table) noexcept {
    wchar_t commonFiles[kPathCapacity] = L"";
    // Without the folder the search starts from the current drive's root, and
    // finds nothing there in practice; the imports serve then.
    static_cast<void>(::SHGetSpecialFolderPathW(nullptr, commonFiles, CSIDL_PROGRAM_FILES_COMMON, FALSE));
    // No memory for a path: the imports serve.
    static_cast<void>(base::Completes([&] {
        const std::wstring common = commonFiles;
        for (const LibraryPlace& place : kLibraryPlaces) {
            if (!table.hModule) FindMapiLibrary(table, (common + place.folder).c_str(), place.fileSuffix);
        }
    }));
    if (table.hModule) BindMapiFunctions(table, table.hModule);
}

HRESULT UnloadMSMAPI(MapiFunctions& table) noexcept {
    if (table.hModule) FreeLibraryGuarded(table.hModule);
    table = MapiFunctions{};
    return S_OK;
}

bool IsComplete(const MapiFunctions* table) noexcept {
    return table && table->MAPIInitialize && table->MAPIUninitialize && table->MAPILogonEx &&
           table->MAPIFreeBuffer && table->HexFromBin && table->HrQueryAllRows && table->FreeProws &&
           table->HrGetOneProp;
}

const MapiFunctions& MapiRoute(const MapiFunctions* table) noexcept {
    return IsComplete(table) ? *table : kImported;
}

}  // namespace outlook
