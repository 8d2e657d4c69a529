#include "tests/standin/store/mapi_test_util.h"

#include <mapicode.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <filesystem>
#include <fstream>

#include "base/mapi_buffer.h"
#include "base/mapi_row_set.h"
#include "base/unique_resource.h"
#include "standin/mapi/hex.h"
#include "tests/support/child_process.h"

namespace storetest {

TempFolder::TempFolder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    path_ = std::wstring(temp) + testsupport::UniqueName(L"mapistore");
    std::filesystem::create_directories(path_);
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ScopedEnvironment::ScopedEnvironment(const wchar_t* name, const wchar_t* value) : name_(name) {
    wchar_t old[32768];
    const DWORD length = GetEnvironmentVariableW(name, old, std::size(old));
    hadOld_ = length > 0 && length < std::size(old);
    if (hadOld_) old_.assign(old, length);
    SetEnvironmentVariableW(name, value);
}

ScopedEnvironment::~ScopedEnvironment() {
    SetEnvironmentVariableW(name_.c_str(), hadOld_ ? old_.c_str() : nullptr);
}

void WriteText(const std::wstring& path, const std::string& text) {
    std::ofstream(std::filesystem::path(path), std::ios::binary) << text;
}

std::string ReadText(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Utf8(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), size, nullptr, nullptr);
    out.resize(static_cast<size_t>(size - 1));
    return out;
}

std::wstring Hex(const void* bytes, size_t size) {
    return standin::mapi::HexText(static_cast<const BYTE*>(bytes), size);
}

DWORD GenerateProfile(const std::string& description, const std::wstring& folder) {
    constexpr DWORD kGeneratorTimeoutMs = 120000;
    const std::wstring file = folder + L".txt";
    WriteText(file, description);
    return testsupport::Program(testsupport::BesideThisProgram(L"profile-gen.exe"), {file, folder})
        .Wait(kGeneratorTimeoutMs);
}

HRESULT StatusTableName(IMAPISession* session, ULONG flags, std::wstring& name) {
    base::ComPtr<IMAPITable> table;
    HRESULT hr = session->GetStatusTable(flags, table.put());
    if (FAILED(hr)) return hr;
    const bool wide = (flags & MAPI_UNICODE) != 0;
    SizedSPropTagArray(2, columns) = {2, {wide ? PR_DISPLAY_NAME_W : PR_DISPLAY_NAME_A, PR_RESOURCE_TYPE}};
    hr = table->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0);
    if (FAILED(hr)) return hr;
    SPropValue subsystem{PR_RESOURCE_TYPE, 0, {}};
    subsystem.Value.l = MAPI_SUBSYSTEM;
    SRestriction restriction{RES_PROPERTY, {}};
    restriction.res.resProperty = {RELOP_EQ, PR_RESOURCE_TYPE, &subsystem};
    if (FAILED(hr = table->Restrict(&restriction, TBL_BATCH)) ||
        FAILED(hr = table->FindRow(&restriction, BOOKMARK_BEGINNING, 0))) {
        return hr;
    }
    base::UniqueRowSet rows;
    hr = table->QueryRows(1, 0, rows.put());
    if (FAILED(hr)) return hr;
    if (rows.get()->cRows != 1) return MAPI_E_NOT_FOUND;
    const SPropValue& value = rows.get()->aRow[0].lpProps[0];
    if (value.ulPropTag == PR_DISPLAY_NAME_W) {
        name = value.Value.lpszW;
    } else if (value.ulPropTag == PR_DISPLAY_NAME_A) {
        name.clear();
        for (const char* c = value.Value.lpszA; *c; ++c) name += static_cast<wchar_t>(static_cast<BYTE>(*c));
    } else {
        return MAPI_E_NOT_FOUND;
    }
    return S_OK;
}

HRESULT ReadStoresTable(IMAPISession* session, std::vector<StoreRow>& rows) {
    base::ComPtr<IMAPITable> table;
    HRESULT hr = session->GetMsgStoresTable(0, table.put());
    if (FAILED(hr)) return hr;
    SizedSPropTagArray(4, columns) = {4, {PR_ENTRYID, PR_DEFAULT_STORE, PR_SERVICE_UID, PR_DISPLAY_NAME_W}};
    base::UniqueRowSet all;
    hr = HrQueryAllRows(table.get(), reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0,
                        all.put());
    if (FAILED(hr)) return hr;
    rows.clear();
    for (ULONG i = 0; i < all.get()->cRows; ++i) {
        const SRow& row = all.get()->aRow[i];
        if (row.cValues != 4 || row.lpProps[0].ulPropTag != PR_ENTRYID ||
            row.lpProps[1].ulPropTag != PR_DEFAULT_STORE || row.lpProps[3].ulPropTag != PR_DISPLAY_NAME_W) {
            return MAPI_E_CORRUPT_DATA;
        }
        StoreRow out;
        const SBinary& id = row.lpProps[0].Value.bin;
        out.entryId.assign(id.lpb, id.lpb + id.cb);
        out.isDefault = row.lpProps[1].Value.b != 0;
        if (row.lpProps[2].ulPropTag == PR_SERVICE_UID) {
            const SBinary& uid = row.lpProps[2].Value.bin;
            out.serviceUid.assign(uid.lpb, uid.lpb + uid.cb);
        }
        out.name = row.lpProps[3].Value.lpszW;
        rows.push_back(std::move(out));
    }
    return S_OK;
}

HRESULT GetBinary(IMAPIProp* object, ULONG tag, std::vector<BYTE>& bytes) {
    base::UniqueMapiBuffer<SPropValue> value;
    const HRESULT hr = HrGetOneProp(object, tag, value.put());
    if (FAILED(hr)) return hr;
    bytes.assign(value.get()->Value.bin.lpb, value.get()->Value.bin.lpb + value.get()->Value.bin.cb);
    return S_OK;
}

HRESULT GetText(IMAPIProp* object, ULONG tag, std::wstring& text) {
    base::UniqueMapiBuffer<SPropValue> value;
    const HRESULT hr = HrGetOneProp(object, CHANGE_PROP_TYPE(tag, PT_UNICODE), value.put());
    if (FAILED(hr)) return hr;
    text = value.get()->Value.lpszW;
    return S_OK;
}

HRESULT ReadHierarchy(IMAPIFolder* folder, std::vector<FolderRow>& rows) {
    base::ComPtr<IMAPITable> table;
    HRESULT hr = folder->GetHierarchyTable(MAPI_UNICODE, table.put());
    if (FAILED(hr)) return hr;
    SizedSPropTagArray(2, columns) = {2, {PR_DISPLAY_NAME_W, PR_ENTRYID}};
    base::UniqueRowSet all;
    hr = HrQueryAllRows(table.get(), reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0,
                        all.put());
    if (FAILED(hr)) return hr;
    rows.clear();
    for (ULONG i = 0; i < all.get()->cRows; ++i) {
        const SPropValue* props = all.get()->aRow[i].lpProps;
        FolderRow row;
        if (props[0].ulPropTag == PR_DISPLAY_NAME_W) row.name = props[0].Value.lpszW;
        if (props[1].ulPropTag == PR_ENTRYID)
            row.entryId.assign(props[1].Value.bin.lpb, props[1].Value.bin.lpb + props[1].Value.bin.cb);
        rows.push_back(std::move(row));
    }
    return S_OK;
}

HRESULT ReadContents(IMAPIFolder* folder, std::vector<std::vector<BYTE>>& entryIds) {
    base::ComPtr<IMAPITable> table;
    HRESULT hr = folder->GetContentsTable(0, table.put());
    if (FAILED(hr)) return hr;
    SizedSPropTagArray(1, columns) = {1, {PR_ENTRYID}};
    base::UniqueRowSet all;
    hr = HrQueryAllRows(table.get(), reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0,
                        all.put());
    if (FAILED(hr)) return hr;
    entryIds.clear();
    for (ULONG i = 0; i < all.get()->cRows; ++i) {
        const SBinary& id = all.get()->aRow[i].lpProps[0].Value.bin;
        entryIds.emplace_back(id.lpb, id.lpb + id.cb);
    }
    return S_OK;
}

}  // namespace storetest
