// The Add-In Designer type library the object model module registers: found
// through the registry as the add-in finds it, it describes _IDTExtensibility2 as
// outlook/outlook_interfaces.h declares it (the same vtable slots, argument types
// and dispatch ids), so ITypeInfo::Invoke, how a dual interface serves IDispatch,
// reaches each C++ method with its arguments.
#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <string>

#include "base/com.h"
#include "base/com_object.h"
#include "outlook/outlook_interfaces.h"
#include "standin/outlook/host_api.h"

namespace {

using base::ComPtr;

// Records the calls that reach it through its vtable. Lives on the test's stack.
class Recorder final : public base::StaticComObject<_IDTExtensibility2> {
public:
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP OnConnection(IDispatch* application, ext_ConnectMode mode, IDispatch* addInInst,
                              SAFEARRAY** custom) override {
        calls += L"OnConnection(" + std::to_wstring(mode) + L")";
        connectedApplication = application;
        connectedAddInInst = addInInst;
        customSeen = custom;
        return S_OK;
    }
    STDMETHODIMP OnDisconnection(ext_DisconnectMode mode, SAFEARRAY**) override {
        calls += L"OnDisconnection(" + std::to_wstring(mode) + L")";
        return S_OK;
    }
    STDMETHODIMP OnAddInsUpdate(SAFEARRAY**) override {
        calls += L"OnAddInsUpdate";
        return S_OK;
    }
    STDMETHODIMP OnStartupComplete(SAFEARRAY**) override {
        calls += L"OnStartupComplete";
        return S_OK;
    }
    STDMETHODIMP OnBeginShutdown(SAFEARRAY**) override {
        calls += L"OnBeginShutdown";
        return kRefused;
    }

    static constexpr HRESULT kRefused = static_cast<HRESULT>(0x80040BAD);

    [[nodiscard]] std::span<const InterfaceEntry> Table() const noexcept override {
        static constexpr InterfaceEntry kInterfaces[] = {{&IID_IDispatch}, {&__uuidof(_IDTExtensibility2)}};
        return kInterfaces;
    }

    std::wstring calls;
    IDispatch* connectedApplication = nullptr;
    IDispatch* connectedAddInInst = nullptr;
    SAFEARRAY** customSeen = nullptr;
};

class AddInDesignerLibrary : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, DllRegisterServer());
        ComPtr<ITypeLib> library;
        const HRESULT hr = LoadRegTypeLib(LIBID_AddInDesignerObjects, kAddInDesignerObjectsMajor,
                                          kAddInDesignerObjectsMinor, LOCALE_USER_DEFAULT, library.put());
        ASSERT_EQ(S_OK, hr) << "LoadRegTypeLib got 0x" << std::hex << hr;
        ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(__uuidof(_IDTExtensibility2), info_.put()));
    }

    // The id of a member, as a dual interface's GetIDsOfNames finds it.
    [[nodiscard]] MEMBERID IdOf(const wchar_t* name) {
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        MEMBERID id = MEMBERID_NIL;
        EXPECT_EQ(S_OK, info_->GetIDsOfNames(names, 1, &id)) << name;
        return id;
    }

    ComPtr<ITypeInfo> info_;
};

TEST_F(AddInDesignerLibrary, InvokeThroughItReachesTheDeclaredMethodsWithTheirArguments) {
    Recorder recorder;
    Recorder application, addInInst;  // any IDispatch will do
    SAFEARRAY* custom = nullptr;

    VARIANT args[4];  // last to first
    for (VARIANT& arg : args) VariantInit(&arg);
    args[0].vt = VT_ARRAY | VT_VARIANT | VT_BYREF;
    args[0].pparray = &custom;
    args[1].vt = VT_DISPATCH;
    args[1].pdispVal = &addInInst;
    args[2].vt = VT_I4;
    args[2].lVal = ext_cm_Startup;
    args[3].vt = VT_DISPATCH;
    args[3].pdispVal = &application;
    DISPPARAMS connection{args, nullptr, 4, 0};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO exception{};
    UINT argumentError = 0;
    HRESULT hr = info_->Invoke(static_cast<_IDTExtensibility2*>(&recorder), IdOf(L"OnConnection"), DISPATCH_METHOD,
                               &connection, &result, &exception, &argumentError);
    EXPECT_EQ(S_OK, hr) << "got 0x" << std::hex << hr;
    EXPECT_EQ(&application, recorder.connectedApplication);
    EXPECT_EQ(&addInInst, recorder.connectedAddInInst);
    EXPECT_EQ(&custom, recorder.customSeen);

    DISPPARAMS customOnly{args, nullptr, 1, 0};
    for (const wchar_t* name : {L"OnStartupComplete", L"OnAddInsUpdate"}) {
        EXPECT_EQ(S_OK, info_->Invoke(&recorder, IdOf(name), DISPATCH_METHOD, &customOnly, &result, &exception,
                                      &argumentError))
            << name;
    }
    VARIANT disconnection[2];
    disconnection[0] = args[0];
    VariantInit(&disconnection[1]);
    disconnection[1].vt = VT_I4;
    disconnection[1].lVal = ext_dm_UserClosed;
    DISPPARAMS disconnecting{disconnection, nullptr, 2, 0};
    EXPECT_EQ(S_OK, info_->Invoke(&recorder, IdOf(L"OnDisconnection"), DISPATCH_METHOD, &disconnecting, &result,
                                  &exception, &argumentError));
    // A failing method comes back as an exception with its code.
    hr = info_->Invoke(&recorder, IdOf(L"OnBeginShutdown"), DISPATCH_METHOD, &customOnly, &result, &exception,
                       &argumentError);
    EXPECT_EQ(DISP_E_EXCEPTION, hr) << "got 0x" << std::hex << hr;
    EXPECT_EQ(Recorder::kRefused, exception.scode);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);

    EXPECT_EQ(L"OnConnection(1)OnStartupCompleteOnAddInsUpdateOnDisconnection(1)OnBeginShutdown", recorder.calls);
}

}  // namespace
