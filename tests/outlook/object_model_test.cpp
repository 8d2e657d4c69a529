// The typed layer over Outlook's object model, against scripted automation objects:
// how it calls (every operation is also called against the stand-in's object model).
#include <gtest/gtest.h>

#include <string>

#include "outlook/object_model.h"
#include "tests/outlook/fake_dispatch.h"

namespace {

using base::ComPtr;
using base::UniqueBstr;
using fake::FakeDispatch;
using fake::Invocation;

// An object answering every interface of the object model, as results are queried.
ComPtr<FakeDispatch> AnyObject() {
    return FakeDispatch::Create({__uuidof(_Application), __uuidof(_NameSpace), __uuidof(MAPIFolder),
                                 __uuidof(_MailItem), __uuidof(_Folders), __uuidof(_Items), __uuidof(COMAddIns),
                                 __uuidof(COMAddIn)});
}

template <typename Interface>
ComPtr<Interface> As(IDispatch* object) {
    ComPtr<Interface> typed;
    EXPECT_EQ(S_OK, object->QueryInterface(__uuidof(Interface), typed.put_void()));
    return typed;
}

// A VT_BSTR argument over a literal, borrowed for one call: the fakes read it as a C string.
VARIANT Text(const wchar_t* text) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = const_cast<BSTR>(text);
    return value;
}

VARIANT Bool(bool flag) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BOOL;
    value.boolVal = flag ? VARIANT_TRUE : VARIANT_FALSE;
    return value;
}

TEST(ObjectModelTest, ArgumentsAndPutValuesArriveInDeclaredOrder) {
    const ComPtr<FakeDispatch> nameSpace = AnyObject();
    std::wstring seen;
    nameSpace->On(L"Logon", [&](const Invocation& call) {
        for (const VARIANT& argument : call.args) {
            seen += argument.vt == VT_BOOL ? (argument.boolVal ? L"true" : L"false") : fake::ArgumentText(argument);
            seen += L"|";
        }
        seen += call.flags == DISPATCH_METHOD ? L"method|" : L"not a method|";
        return S_OK;
    });
    nameSpace->On(L"GetFolderFromID", [&](const Invocation& call) {
        seen += fake::ArgumentText(call.args.at(0)) + L"|" + fake::ArgumentText(call.args.at(1)) + L"|";
        return fake::ReturnObject(call, nameSpace.get());
    });
    // A put names its value DISPID_PROPERTYPUT.
    nameSpace->On(L"Name", [&](const Invocation& call) {
        seen += fake::ArgumentText(call.args.at(0));
        seen += call.flags == DISPATCH_PROPERTYPUT && call.namedPut ? L"|put" : L"|not a put";
        return S_OK;
    });
    const ComPtr<_NameSpace> typed = As<_NameSpace>(nameSpace.get());
    ASSERT_EQ(S_OK, outlook::Logon(typed.get(), Text(L"Outlook"), Text(L""), Bool(false), Bool(true)));
    ComPtr<MAPIFolder> folder;
    ASSERT_EQ(S_OK, outlook::GetFolderFromID(typed.get(), L"0000ABCD", Text(L"0000EF01"), folder));
    ASSERT_EQ(S_OK, outlook::PutName(folder.get(), L"Gel\u00f6scht"));
    EXPECT_EQ(L"Outlook||false|true|method|0000ABCD|0000EF01|Gel\u00f6scht|put", seen);
    folder.reset();
    EXPECT_EQ(2u, nameSpace->references()) << "a reference was kept beyond the test's two";
}

HRESULT WINAPI FillInNotFound(EXCEPINFO* exception) {
    exception->scode = static_cast<HRESULT>(0x8004010F);
    return S_OK;
}

// Every object result goes the same way: failures give the member's own code, "Nothing"
// a null result, an object of another kind its query's failure; the out-parameter,
// pre-filled, is null unless an object of the right kind came.
TEST(ObjectModelTest, ObjectResultsAndFailures) {
    const ComPtr<FakeDispatch> meeting = FakeDispatch::Create();  // no MAPIFolder
    const struct {
        fake::Member member;
        HRESULT expected;
    } cases[] = {
        {[](const Invocation&) { return E_ACCESSDENIED; }, E_ACCESSDENIED},
        {[](const Invocation& call) { return fake::Raise(call, static_cast<HRESULT>(0x8004010F)); },
         static_cast<HRESULT>(0x8004010F)},
        {[](const Invocation& call) {  // an exception filled in later
             *call.exception = EXCEPINFO{};
             call.exception->pfnDeferredFillIn = FillInNotFound;
             return DISP_E_EXCEPTION;
         },
         static_cast<HRESULT>(0x8004010F)},
        {[](const Invocation& call) {  // an exception without a code
             *call.exception = EXCEPINFO{};
             call.exception->wCode = 1001;
             return DISP_E_EXCEPTION;
         },
         DISP_E_EXCEPTION},
        {[](const Invocation& call) { return fake::ReturnNothing(call); }, S_OK},
        {[](const Invocation& call) { return fake::ReturnObject(call, nullptr); }, S_OK},
        {[](const Invocation& call) {
             VariantInit(call.result);
             call.result->vt = VT_NULL;
             return S_OK;
         },
         S_OK},
        {[&](const Invocation& call) { return fake::ReturnObject(call, meeting.get()); }, E_NOINTERFACE},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const ComPtr<FakeDispatch> folders = AnyObject();
        folders->On(L"Item", cases[i].member);
        ComPtr<MAPIFolder> folder(As<MAPIFolder>(folders.get()).detach());
        const HRESULT hr = outlook::Item(As<_Folders>(folders.get()).get(), 3, folder);
        EXPECT_EQ(cases[i].expected, hr) << "case " << i << ": got 0x" << std::hex << hr;
        EXPECT_FALSE(folder) << "case " << i;
    }
    EXPECT_EQ(1u, meeting->references()) << "a reference was kept";
}

}  // namespace
