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
        return S_OK;
    });
    nameSpace->On(L"GetFolderFromID", [&](const Invocation& call) {
        seen += fake::ArgumentText(call.args.at(0)) + L"|" + fake::ArgumentText(call.args.at(1)) + L"|";
        return fake::ReturnObject(call, nameSpace.get());
    });
    nameSpace->On(L"Name", [&](const Invocation& call) {
        seen += fake::ArgumentText(call.args.at(0));
        return S_OK;
    });
    const ComPtr<_NameSpace> typed = As<_NameSpace>(nameSpace.get());
    ASSERT_EQ(S_OK, outlook::Logon(typed.get(), Text(L"Outlook"), Text(L""), Bool(false), Bool(true)));
    ComPtr<MAPIFolder> folder;
    ASSERT_EQ(S_OK, outlook::GetFolderFromID(typed.get(), L"0000ABCD", Text(L"0000EF01"), folder));
    ASSERT_EQ(S_OK, outlook::PutName(folder.get(), L"Gel\u00f6scht"));
    EXPECT_EQ(L"Outlook||false|true|0000ABCD|0000EF01|Gel\u00f6scht", seen);
    ASSERT_EQ(3u, nameSpace->calls().size());
    EXPECT_EQ(DISPATCH_METHOD, nameSpace->calls()[0].flags);
    EXPECT_EQ(DISPATCH_PROPERTYPUT, nameSpace->calls()[2].flags);
    EXPECT_TRUE(nameSpace->calls()[2].namedPut) << "a put names its value DISPID_PROPERTYPUT";
    folder.reset();
    EXPECT_EQ(2u, nameSpace->references()) << "a reference was kept beyond the test's two";
}

HRESULT WINAPI FillInNotFound(EXCEPINFO* exception) {
    exception->scode = static_cast<HRESULT>(0x8004010F);
    return S_OK;
}

TEST(ObjectModelTest, FailuresGiveTheMembersOwnCode) {
    const struct {
        const wchar_t* what;
        fake::Member member;
        HRESULT expected;
    } cases[] = {
        {L"plain failure", [](const Invocation&) { return E_ACCESSDENIED; }, E_ACCESSDENIED},
        {L"exception", [](const Invocation& call) { return fake::Raise(call, static_cast<HRESULT>(0x8004010F)); },
         static_cast<HRESULT>(0x8004010F)},
        {L"exception filled in later",
         [](const Invocation& call) {
             *call.exception = EXCEPINFO{};
             call.exception->pfnDeferredFillIn = FillInNotFound;
             return DISP_E_EXCEPTION;
         },
         static_cast<HRESULT>(0x8004010F)},
        {L"exception without a code",
         [](const Invocation& call) {
             *call.exception = EXCEPINFO{};
             call.exception->wCode = 1001;
             return DISP_E_EXCEPTION;
         },
         DISP_E_EXCEPTION},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const ComPtr<FakeDispatch> folders = AnyObject();
        folders->On(L"Item", cases[i].member);
        ComPtr<MAPIFolder> folder(As<MAPIFolder>(folders.get()).detach());  // pre-filled: must be reset
        const HRESULT hr = outlook::Item(As<_Folders>(folders.get()).get(), 3, folder);
        EXPECT_EQ(cases[i].expected, hr) << "case " << i << " (" << cases[i].what << "): got 0x" << std::hex << hr;
        EXPECT_FALSE(folder) << "case " << i;
    }
}

TEST(ObjectModelTest, ObjectResultsAreQueriedForTheirInterface) {
    const ComPtr<FakeDispatch> item = FakeDispatch::Create();  // a meeting request: no _MailItem
    const ComPtr<FakeDispatch> folderOnly = FakeDispatch::Create({__uuidof(MAPIFolder)});
    const ComPtr<FakeDispatch> nameSpace = AnyObject();
    nameSpace->On(L"Folders", [&](const Invocation& call) { return fake::ReturnObject(call, folderOnly.get()); });
    nameSpace->On(L"GetItemFromID", [&](const Invocation& call) { return fake::ReturnObject(call, item.get()); });

    ComPtr<_Folders> folders;
    EXPECT_EQ(E_NOINTERFACE, outlook::GetFolders(As<_NameSpace>(nameSpace.get()).get(), folders));
    EXPECT_FALSE(folders);

    ComPtr<IDispatch> found;
    ASSERT_EQ(S_OK, outlook::GetItemFromID(As<_NameSpace>(nameSpace.get()).get(), L"00", Text(L""), found));
    ComPtr<_MailItem> mail;
    EXPECT_EQ(E_NOINTERFACE, found.As(mail));
    EXPECT_EQ(2u, item->references());
}

TEST(ObjectModelTest, NothingIsANullResult) {
    const struct {
        const wchar_t* what;
        fake::Member member;
    } cases[] = {
        {L"VT_EMPTY", [](const Invocation& call) { return fake::ReturnNothing(call); }},
        {L"null object", [](const Invocation& call) { return fake::ReturnObject(call, nullptr); }},
        {L"VT_NULL",
         [](const Invocation& call) {
             VariantInit(call.result);
             call.result->vt = VT_NULL;
             return S_OK;
         }},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const ComPtr<FakeDispatch> items = AnyObject();
        items->On(L"GetNext", cases[i].member);
        ComPtr<IDispatch> item(As<IDispatch>(items.get()).detach());
        EXPECT_EQ(S_OK, outlook::GetNext(As<_Items>(items.get()).get(), item)) << "case " << i;
        EXPECT_FALSE(item) << "case " << i << " (" << cases[i].what << ")";
    }
}

}  // namespace
