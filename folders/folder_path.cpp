#include "folders/folder_path.h"

#include <cwchar>

#include "outlook/object_model.h"

#include "base/boundary.h"

namespace folders {
namespace {

// The folder name escape table, in ascending order of the character.
struct Escape {
    std::wstring_view entity;
    wchar_t character;
};
constexpr Escape kEscapes[] = {
    {L"&#32", L' '}, {L"&#34", L'"'}, {L"&#42", L'*'}, {L"&#47", L'/'},  {L"&#58", L':'},
    {L"&#60", L'<'}, {L"&#62", L'>'}, {L"&#63", L'?'}, {L"&#92", L'\\'}, {L"&#124", L'|'},
};

constexpr wchar_t kSeparator = L'\\';
constexpr std::wstring_view kRootPrefix = L"\\\\";

[[nodiscard]] bool NamesMatch(const wchar_t* a, const wchar_t* b) { return ::_wcsicmp(a, b) == 0; }

// Takes the next path level, decoding its name; false when memory runs out.
[[nodiscard]] bool NextStep(const std::wstring& path, PathStep& step) noexcept {
    return base::ReturnOr(
        [&] {
            step = SplitFolderPath(path);
            UnescapeFolderName(step.name);
            return true;
        },
        false);
}

// Makes `folder` the root of the store named `rootName`. A failure to reach the roots
// or the default root is returned; otherwise S_OK, with `searchResult` the result of
// the search's last call.
[[nodiscard]] HRESULT FindStoreRoot(_NameSpace* nameSpace, base::ComPtr<MAPIFolder>& folder,
                                    const std::wstring& rootName, HRESULT& searchResult) noexcept {
    base::ComPtr<_Folders> roots;
    long count = 0;
    HRESULT hr = outlook::GetFolders(nameSpace, roots);
    if (FAILED(hr) || FAILED(hr = outlook::GetCount(roots.get(), &count))) return hr;
    base::ComPtr<MAPIFolder> defaultRoot;
    base::UniqueBstr defaultName;
    if (FAILED(hr = getDefaultPST(nameSpace, defaultRoot)) ||
        FAILED(hr = outlook::GetName(defaultRoot.get(), defaultName))) {
        return hr;
    }
    searchResult = hr;
    // The default store wins over others of the same root name, and takes unknown names.
    if (NamesMatch(defaultName.c_str(), rootName.c_str()) ||
        !FindByName(roots.get(), count, rootName, folder, searchResult)) {
        folder = std::move(defaultRoot);
    }
    return S_OK;
}

[[nodiscard]] HRESULT FindSubfolder(base::ComPtr<MAPIFolder>& folder, const std::wstring& name) noexcept {
    if (!folder) return E_FAIL;
    base::ComPtr<_Folders> subfolders;
    long count = 0;
    HRESULT hr = outlook::GetFolders(folder.get(), subfolders);
    if (FAILED(hr) || FAILED(hr = outlook::GetCount(subfolders.get(), &count))) return hr;
    base::ComPtr<MAPIFolder> found;
    if (!FindByName(subfolders.get(), count, name, found, hr)) return E_FAIL;
    folder = std::move(found);
    return S_OK;
}

}  // namespace

bool FindByName(_Folders* folders, long count, const std::wstring& name, base::ComPtr<MAPIFolder>& found,
                HRESULT& lastResult) noexcept {
    for (long index = 1; index <= count; ++index) {
        base::ComPtr<MAPIFolder> candidate;
        base::UniqueBstr candidateName;
        if (FAILED(lastResult = outlook::Item(folders, index, candidate)) ||
            FAILED(lastResult = outlook::GetName(candidate.get(), candidateName))) {
            continue;
        }
        if (NamesMatch(candidateName.c_str(), name.c_str())) {
            found = std::move(candidate);
            return true;
        }
    }
    return false;
}

HRESULT BuildFolderPath(MAPIFolder* folder, base::UniqueBstr& path) noexcept {
    if (!folder) return E_FAIL;
    HRESULT hr = outlook::GetName(folder, path);
    if (FAILED(hr)) return hr;
    base::ComPtr<MAPIFolder> current;
    if (FAILED(hr = folder->QueryInterface(__uuidof(MAPIFolder), current.put_void()))) return hr;
    return base::ReturnOr(
        [&] {
            std::wstring built = path.c_str();
            // Up to the store's root, whose parent (the namespace) is no folder.
            for (;;) {
                base::ComPtr<IDispatch> parent;
                base::ComPtr<MAPIFolder> parentFolder;
                base::UniqueBstr parentName;
                if (FAILED(outlook::GetParent(current.get(), parent)) || FAILED(parent.As(parentFolder)) ||
                    FAILED(outlook::GetName(parentFolder.get(), parentName))) {
                    break;
                }
                built.insert(0, 1, kSeparator).insert(0, parentName.c_str(), parentName.length());
                current = std::move(parentFolder);
            }
            built.insert(0, kRootPrefix);
            path.reset(::SysAllocStringLen(built.data(), static_cast<UINT>(built.size())));
            return path.get() ? S_OK : E_FAIL;
        },
        E_FAIL);
}

int UnescapeFolderName(std::wstring& name) {
    for (const Escape& escape : kEscapes) {
        for (size_t at = name.find(escape.entity); at != std::wstring::npos;
             at = name.find(escape.entity, at + 1)) {
            name.replace(at, escape.entity.size(), 1, escape.character);
        }
    }
    return 0;
}

PathStep SplitFolderPath(std::wstring_view path) {
    PathStep step;
    step.absolute = path.starts_with(kRootPrefix);
    const size_t start = step.absolute ? kRootPrefix.size() : 0;
    const size_t separator = path.find(kSeparator, start);
    step.name = path.substr(
        start, separator == std::wstring_view::npos ? std::wstring_view::npos : separator - start);
    if (separator != std::wstring_view::npos) step.rest = std::wstring(path.substr(separator + 1));
    return step;
}

HRESULT getDefaultPST(_NameSpace* nameSpace, base::ComPtr<MAPIFolder>& root) noexcept {
    base::ComPtr<MAPIFolder> inbox;
    HRESULT hr = outlook::GetDefaultFolder(nameSpace, olFolderInbox, inbox);
    if (FAILED(hr)) return hr;
    base::ComPtr<IDispatch> parent;
    if (FAILED(hr = outlook::GetParent(inbox.get(), parent))) return hr;
    if (!parent) return E_POINTER;
    return parent.As(root);
}

HRESULT FindFolderByPath(_NameSpace* nameSpace, base::ComPtr<MAPIFolder>& folder,
                         const std::wstring& path) noexcept {
    if (path.empty()) return E_FAIL;
    PathStep step;
    if (!NextStep(path, step)) return E_OUTOFMEMORY;
    HRESULT result = S_OK;
    if (step.absolute) {
        const HRESULT hr = FindStoreRoot(nameSpace, folder, step.name, result);
        if (FAILED(hr)) return hr;
    } else {
        result = FindSubfolder(folder, step.name);
        if (FAILED(result)) return result;
    }
    return step.rest ? FindFolderByPath(nameSpace, folder, *step.rest) : result;
}

}  // namespace folders
