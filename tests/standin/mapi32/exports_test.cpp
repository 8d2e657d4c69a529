// The DLLs as programs bind them: mapi32.dll beside the program, by ordinal and
// by name; msmapi32.dll (beside it, and where the add-in searches) by name.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <memory>
#include <string>

namespace {

struct Export {
    WORD ordinal;  // 0: by name only
    const char* name;
};
constexpr Export kMapi32Exports[] = {
    {11, "MAPILogonEx"},       {13, "MAPIAllocateBuffer"},   {15, "MAPIAllocateMore"},
    {17, "MAPIFreeBuffer"},    {43, "ScBinFromHexBounded"},  {44, "FBinFromHex"},
    {45, "HexFromBin"},        {59, "MAPIGetDefaultMalloc"}, {75, "HrQueryAllRows"},
    {135, "HrGetOneProp"},     {140, "FreeProws"},           {196, "OpenIMsgSession"},
    {197, "CloseIMsgSession"}, {198, "OpenIMsgOnIStg"},      {0, "MAPIInitialize"},
    {0, "MAPIUninitialize"},
};

// The names the add-in binds Outlook's library by, and the function each is.
struct Forward {
    const char* name;
    const char* target;
};
constexpr Forward kMsmapiNames[] = {
    {"MAPIInitialize", "MAPIInitialize"},
    {"MAPIUninitialize", "MAPIUninitialize"},
    {"MAPILogonEx", "MAPILogonEx"},
    {"MAPIFreeBuffer", "MAPIFreeBuffer"},
    {"HexFromBin@12", "HexFromBin"},
    {"HexFromBin", "HexFromBin"},
    {"HrQueryAllRows@24", "HrQueryAllRows"},
    {"HrQueryAllRows", "HrQueryAllRows"},
    {"FreeProws@4", "FreeProws"},
    {"FreeProws", "FreeProws"},
    {"HrGetOneProp@12", "HrGetOneProp"},
    {"HrGetOneProp", "HrGetOneProp"},
};

struct ModuleFree {
    void operator()(HMODULE m) const noexcept { FreeLibrary(m); }
};
using UniqueModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleFree>;

void ExpectForwarders(HMODULE msmapi, HMODULE mapi32, const char* where) {
    for (std::size_t i = 0; i < std::size(kMsmapiNames); ++i) {
        const FARPROC forwarded = GetProcAddress(msmapi, kMsmapiNames[i].name);
        EXPECT_NE(forwarded, nullptr) << where << " case " << i << ": " << kMsmapiNames[i].name;
        EXPECT_EQ(forwarded, GetProcAddress(mapi32, kMsmapiNames[i].target))
            << where << " case " << i << ": " << kMsmapiNames[i].name << " reaches mapi32.dll";
    }
}

TEST(Mapi32Exports, OrdinalsAndNamesResolveToTheSameFunctions) {
    SetLastError(0xdeadbeef);
    UniqueModule mapi32(LoadLibraryW(L"mapi32.dll"));
    ASSERT_TRUE(mapi32) << "error " << GetLastError();
    for (std::size_t i = 0; i < std::size(kMapi32Exports); ++i) {
        const Export& e = kMapi32Exports[i];
        const FARPROC byName = GetProcAddress(mapi32.get(), e.name);
        EXPECT_NE(byName, nullptr) << "case " << i << ": " << e.name;
        if (e.ordinal) {
            EXPECT_EQ(GetProcAddress(mapi32.get(), MAKEINTRESOURCEA(e.ordinal)), byName)
                << "case " << i << ": ordinal " << e.ordinal;
        }
    }
    // It is the stand-in, not Wine's library, whose message sessions end the process.
    using OpenSession = SCODE(WINAPI*)(LPVOID, ULONG, void**);
    using CloseSession = void(WINAPI*)(void*);
    auto open = reinterpret_cast<OpenSession>(
        reinterpret_cast<void*>(GetProcAddress(mapi32.get(), MAKEINTRESOURCEA(196))));
    auto close = reinterpret_cast<CloseSession>(
        reinterpret_cast<void*>(GetProcAddress(mapi32.get(), MAKEINTRESOURCEA(197))));
    ASSERT_TRUE(open && close);
    void* session = nullptr;
    ASSERT_EQ(open(nullptr, 0, &session), S_OK);
    close(session);
}

TEST(Mapi32Exports, MsmapiForwardsByNameBesideTheProgramAndInCommonFiles) {
    UniqueModule mapi32(LoadLibraryW(L"mapi32.dll"));
    ASSERT_TRUE(mapi32);
    UniqueModule beside(LoadLibraryW(L"msmapi32.dll"));
    ASSERT_TRUE(beside) << "error " << GetLastError();
    ExpectForwarders(beside.get(), mapi32.get(), "beside");

    wchar_t common[MAX_PATH] = {};
    ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, common, CSIDL_PROGRAM_FILES_COMMON, FALSE));
    const std::wstring installed = std::wstring(common) + L"\\System\\MSMAPI\\1033\\msmapi32.dll";
    SetLastError(0xdeadbeef);
    UniqueModule inCommonFiles(LoadLibraryW(installed.c_str()));
    ASSERT_TRUE(inCommonFiles) << "scripts/wine installs it; error " << GetLastError();
    ExpectForwarders(inCommonFiles.get(), mapi32.get(), "Common Files");
}

}  // namespace
