// Helpers of the tests that reach the store through mapi32.dll, as the add-in
// does: temporary profiles written by profile-gen.exe, environment switches,
// and the MAPI calls the add-in makes, step by step.
#pragma once

#include <windows.h>
#include <mapidefs.h>
#include <mapix.h>

#include <string>
#include <vector>

#include "base/com.h"

namespace storetest {

// A fresh folder under the temporary folder, removed with everything in it.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    [[nodiscard]] const std::wstring& path() const { return path_; }
    [[nodiscard]] std::wstring Sub(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// Sets an environment variable for the owner's lifetime (null: removes it).
class ScopedEnvironment {
public:
    ScopedEnvironment(const wchar_t* name, const wchar_t* value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::wstring name_;
    std::wstring old_;
    bool hadOld_;
};

// Runs profile-gen.exe (beside this program) on `description`; the exit code.
[[nodiscard]] DWORD GenerateProfile(const std::string& description, const std::wstring& folder);

void WriteText(const std::wstring& path, const std::string& text);
[[nodiscard]] std::string Utf8(const std::wstring& text);
[[nodiscard]] std::wstring Hex(const void* bytes, size_t size);

// The profile name as the add-in reads it: status table, restriction on
// MAPI_SUBSYSTEM, FindRow, QueryRows; `flags` 0 or MAPI_UNICODE. The name is
// narrow text widened byte for byte, or the wide text.
[[nodiscard]] HRESULT StatusTableName(IMAPISession* session, ULONG flags, std::wstring& name);

// One row of the stores table as the add-in reads it.
struct StoreRow {
    std::vector<BYTE> entryId;
    bool isDefault = false;
    std::vector<BYTE> serviceUid;
};
[[nodiscard]] HRESULT ReadStoresTable(IMAPISession* session, std::vector<StoreRow>& rows);

// A binary property, or the error HrGetOneProp gives.
[[nodiscard]] HRESULT GetBinary(IMAPIProp* object, ULONG tag, std::vector<BYTE>& bytes);
[[nodiscard]] HRESULT GetText(IMAPIProp* object, ULONG tag, std::wstring& text);

// The subfolders of a folder from its hierarchy table: display names and entry
// IDs (an entry ID the row cannot give is empty).
struct FolderRow {
    std::wstring name;
    std::vector<BYTE> entryId;
};
[[nodiscard]] HRESULT ReadHierarchy(IMAPIFolder* folder, std::vector<FolderRow>& rows);
[[nodiscard]] HRESULT ReadContents(IMAPIFolder* folder, std::vector<std::vector<BYTE>>& entryIds);

template <typename T>
[[nodiscard]] HRESULT OpenEntryAs(IMAPISession* session, const std::vector<BYTE>& entryId, const IID& iid,
                                  base::ComPtr<T>& out, ULONG* type = nullptr) {
    ULONG objectType = 0xdeadbeef;
    const HRESULT hr = session->OpenEntry(static_cast<ULONG>(entryId.size()),
                                          reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(entryId.data())),
                                          const_cast<IID*>(&iid), MAPI_BEST_ACCESS, &objectType,
                                          reinterpret_cast<IUnknown**>(out.put()));
    if (type) *type = objectType;
    return hr;
}

}  // namespace storetest
