#include "tests/standin/outlook/om_test_util.h"

#include <ole2.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "base/unique_resource.h"

namespace omtest {

using base::ComPtr;

void AsAddInWorker(const std::function<void(_Application* application)>& body) {
    const base::UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(done);
    std::thread worker([&body, &done] {
        // Set last, once the worker has left its apartment and released every proxy.
        const struct SetOnExit {
            HANDLE event;
            ~SetOnExit() { SetEvent(event); }
        } setOnExit{done.get()};
        const base::ScopedComInitializer com(COINIT_APARTMENTTHREADED);
        ASSERT_EQ(S_OK, com.result());
        ComPtr<IUnknown> object;
        HRESULT hr =
            CoCreateInstance(CLSID_OutlookApplication, nullptr, CLSCTX_ALL, IID_IUnknown, object.put_void());
        ASSERT_EQ(S_OK, hr) << "CoCreateInstance got 0x" << std::hex << hr;
        hr = OleRun(object.get());
        ASSERT_EQ(S_OK, hr) << "OleRun got 0x" << std::hex << hr;
        ComPtr<_Application> application;
        ASSERT_EQ(S_OK, object.As(application));
        body(application.get());
    });
    // The host's thread serves the worker's calls meanwhile. A worker that never ends
    // (a call that never returns) would hang the test, and it still holds `body` and
    // the host's objects: after a bound far past any body's, say so and end the process.
    constexpr DWORD kWorkerLimitMs = 120000;
    const DWORD waited = base::WaitServingCalls(done.get(), kWorkerLimitMs);
    if (waited != WAIT_OBJECT_0) {
        std::fprintf(stderr, "AsAddInWorker: the worker has not ended after %lu ms (wait 0x%lx)\n",
                     kWorkerLimitMs, waited);
        std::fflush(stderr);
        std::_Exit(3);
    }
    worker.join();
}

ComPtr<_NameSpace> MapiNamespace(_Application* application) {
    ComPtr<_NameSpace> nameSpace;
    const HRESULT hr = outlook::GetNamespace(application, L"MAPI", nameSpace);
    EXPECT_EQ(S_OK, hr) << "GetNamespace got 0x" << std::hex << hr;
    return nameSpace;
}

std::wstring Text(const base::UniqueBstr& text) { return std::wstring(text.c_str(), text.length()); }

std::wstring Name(MAPIFolder* folder) {
    base::UniqueBstr name;
    const HRESULT hr = outlook::GetName(folder, name);
    EXPECT_EQ(S_OK, hr) << "Name got 0x" << std::hex << hr;
    return Text(name);
}

namespace {

ComPtr<MAPIFolder> Find(_Folders* folders, const std::wstring& name) {
    long count = -1;
    EXPECT_EQ(S_OK, outlook::GetCount(folders, &count));
    for (long i = 1; i <= count; ++i) {
        ComPtr<MAPIFolder> folder;
        EXPECT_EQ(S_OK, outlook::Item(folders, i, folder)) << "index " << i;
        if (folder && Name(folder.get()) == name) return folder;
    }
    ADD_FAILURE() << "no folder " << testing::PrintToString(name);
    return {};
}

}  // namespace

ComPtr<MAPIFolder> Subfolder(MAPIFolder* parent, const std::wstring& name) {
    ComPtr<_Folders> folders;
    EXPECT_EQ(S_OK, outlook::GetFolders(parent, folders));
    return folders ? Find(folders.get(), name) : ComPtr<MAPIFolder>();
}

ComPtr<MAPIFolder> StoreRoot(_NameSpace* nameSpace, const std::wstring& name) {
    ComPtr<_Folders> roots;
    EXPECT_EQ(S_OK, outlook::GetFolders(nameSpace, roots));
    return roots ? Find(roots.get(), name) : ComPtr<MAPIFolder>();
}

ComPtr<MAPIFolder> FolderAt(_NameSpace* nameSpace, const std::vector<std::wstring>& path) {
    ComPtr<MAPIFolder> folder = StoreRoot(nameSpace, path.at(0));
    for (size_t i = 1; folder && i < path.size(); ++i) folder = Subfolder(folder.get(), path[i]);
    return folder;
}

std::vector<ComPtr<IDispatch>> AllItems(MAPIFolder* folder) {
    std::vector<ComPtr<IDispatch>> all;
    ComPtr<_Items> items;
    EXPECT_EQ(S_OK, outlook::GetItems(folder, items));
    if (!items) return all;
    ComPtr<IDispatch> item;
    HRESULT hr = outlook::GetFirst(items.get(), item);
    while (hr == S_OK && item) {
        all.push_back(std::move(item));
        hr = outlook::GetNext(items.get(), item);
    }
    EXPECT_EQ(S_OK, hr) << "the walk ended with 0x" << std::hex << hr;
    return all;
}

RawGet::~RawGet() {
    VariantClear(&value);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
}

void GetProperty(IDispatch* object, const wchar_t* name, RawGet& get) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    ASSERT_EQ(S_OK, object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))
        << "no member " << name;
    DISPPARAMS none{};
    get.result = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &get.value,
                                &get.exception, nullptr);
}

void HostedApplication::SetUpTestSuite() {
    // The test's thread plays the host's: the single-threaded apartment the object model lives in.
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    const HRESULT hr = DllRegisterServer();
    ASSERT_EQ(S_OK, hr) << "DllRegisterServer got 0x" << std::hex << hr;
}

void HostedApplication::TearDownTestSuite() { CoUninitialize(); }

void HostedApplication::SetUp() { Open(kDescription); }

void HostedApplication::Reopen(const std::string& description) {
    OutlookStandinClose();
    Open(description);
}

void HostedApplication::Open(const std::string& description) {
    profile_ = temp_.Sub(L"profile" + std::to_wstring(++opened_));
    ASSERT_EQ(0u, storetest::GenerateProfile(description, profile_));
    base::UniqueBstr name;
    HANDLE quitRequested = nullptr;
    const HRESULT hr = OutlookStandinOpen(profile_.c_str(), name.put(), &quitRequested);
    ASSERT_EQ(S_OK, hr) << "OutlookStandinOpen got 0x" << std::hex << hr;
    ASSERT_NE(nullptr, quitRequested);
}

}  // namespace omtest
