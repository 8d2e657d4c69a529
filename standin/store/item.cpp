#include "standin/store/profile.h"

#include <mapicode.h>

#include "standin/store/files.h"
#include "standin/store/layout.h"

#include "base/boundary.h"

namespace standin::store {

std::wstring Item::path() const { return JoinPath(folder_.path(), ItemFileName(number_)); }

HRESULT Item::GetEntryId(std::vector<BYTE>& entryId) const {
    std::vector<BYTE> folderEntryId;
    const HRESULT hr = folder_.GetEntryId(folderEntryId);
    if (FAILED(hr)) return hr;
    EntryId id;
    if (FAILED(DecodeEntryId(folderEntryId.data(), folderEntryId.size(), id))) return MAPI_E_CALL_FAILED;
    id.kind = EntryKind::Message;
    id.itemNumber = number_;
    entryId = EncodeEntryId(id);
    return S_OK;
}

HRESULT Item::GetFaults(uint32_t& faults) const { return folder_.GetItemFaults(number_, faults); }

HRESULT Item::Delete() const {
    if (!DeleteFileW(path().c_str())) return HresultFromFileError(GetLastError());
    return S_OK;
}

HRESULT Item::CopyTo(const Folder& target, Item& copy) const {
    return base::ReturnOr(
        [&] {
            std::vector<BYTE> bytes;
            const HRESULT hr = ReadFileBytes(path(), bytes);
            if (FAILED(hr)) return hr;
            return target.AddItemFile(bytes.data(), bytes.size(), copy);
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT Item::MoveTo(const Folder& target, Item& moved) const {
    const HRESULT hr = CopyTo(target, moved);
    if (FAILED(hr)) return hr;
    return Delete();
}

}  // namespace standin::store
