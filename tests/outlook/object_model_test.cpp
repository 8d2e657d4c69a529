// The typed layer over Outlook's object model, against scripted automation objects.
#include <gtest/gtest.h>

#include <string>

#include "outlook/object_model.h"
#include "tests/outlook/fake_dispatch.h"

namespace {

using base::ComPtr;
using base::UniqueBstr;
using fake::FakeDispatch;
using fake::Invocation;

constexpr WORD kGet = DISPATCH_PROPERTYGET;
constexpr WORD kMethod = DISPATCH_METHOD;
constexpr WORD kPut = DISPATCH_PROPERTYPUT;
constexpr long kNumber = 42;
constexpr wchar_t kText[] = L"00AB12";

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

enum class Result { kObject, kText, kNumber, kNone };

// Every operation: the member it calls by name, how, with how many arguments, and a
// call of the typed function that is true when it succeeded with the member's result.
struct Operation {
    const wchar_t* member;
    WORD flags;
    size_t argumentCount;
    Result result;
    bool (*call)(IDispatch* target);
};

template <typename Out>
bool Got(HRESULT hr, const ComPtr<Out>& out) {
    return hr == S_OK && out;
}
bool Got(HRESULT hr, const UniqueBstr& text) { return hr == S_OK && std::wstring(text.c_str()) == kText; }
bool Got(HRESULT hr, const long& number) { return hr == S_OK && number == kNumber; }

const Operation kOperations[] = {
    {L"COMAddIns", kGet, 0, Result::kObject,
     [](IDispatch* t) { ComPtr<COMAddIns> o; return Got(outlook::GetCOMAddIns(As<_Application>(t).get(), o), o); }},
    {L"GetNamespace", kMethod, 1, Result::kObject,
     [](IDispatch* t) {
         ComPtr<_NameSpace> o;
         return Got(outlook::GetNamespace(As<_Application>(t).get(), L"MAPI", o), o);
     }},
    {L"Session", kGet, 0, Result::kObject,
     [](IDispatch* t) { ComPtr<_NameSpace> o; return Got(outlook::GetSession(As<_Application>(t).get(), o), o); }},
    {L"Quit", kMethod, 0, Result::kNone,
     [](IDispatch* t) { return outlook::Quit(As<_Application>(t).get()) == S_OK; }},
    {L"Item", kMethod, 1, Result::kObject,
     [](IDispatch* t) {
         ComPtr<COMAddIn> o;
         return Got(outlook::Item(As<COMAddIns>(t).get(), Text(L"TallowmerePlugin.Connect"), o), o);
     }},
    {L"Object", kPut, 1, Result::kNone,
     [](IDispatch* t) { return outlook::PutObject(As<COMAddIn>(t).get(), t) == S_OK; }},
    {L"GetFolderFromID", kMethod, 2, Result::kObject,
     [](IDispatch* t) {
         ComPtr<MAPIFolder> o;
         return Got(outlook::GetFolderFromID(As<_NameSpace>(t).get(), L"00", Text(L"01"), o), o);
     }},
    {L"GetItemFromID", kMethod, 2, Result::kObject,
     [](IDispatch* t) {
         ComPtr<IDispatch> o;
         return Got(outlook::GetItemFromID(As<_NameSpace>(t).get(), L"00", Text(L""), o), o);
     }},
    {L"GetDefaultFolder", kMethod, 1, Result::kObject,
     [](IDispatch* t) {
         ComPtr<MAPIFolder> o;
         return Got(outlook::GetDefaultFolder(As<_NameSpace>(t).get(), olFolderJunk, o), o);
     }},
    {L"Folders", kGet, 0, Result::kObject,
     [](IDispatch* t) { ComPtr<_Folders> o; return Got(outlook::GetFolders(As<_NameSpace>(t).get(), o), o); }},
    {L"AddStore", kMethod, 1, Result::kNone,
     [](IDispatch* t) { return outlook::AddStore(As<_NameSpace>(t).get(), Text(L"restore.pst")) == S_OK; }},
    {L"Logon", kMethod, 4, Result::kNone,
     [](IDispatch* t) {
         return outlook::Logon(As<_NameSpace>(t).get(), Text(L"Outlook"), Text(L""), Bool(false), Bool(false)) ==
                S_OK;
     }},
    {L"Logoff", kMethod, 0, Result::kNone,
     [](IDispatch* t) { return outlook::Logoff(As<_NameSpace>(t).get()) == S_OK; }},
    {L"Count", kGet, 0, Result::kNumber,
     [](IDispatch* t) { long n = 0; return Got(outlook::GetCount(As<_Folders>(t).get(), &n), n); }},
    {L"Item", kMethod, 1, Result::kObject,
     [](IDispatch* t) { ComPtr<MAPIFolder> o; return Got(outlook::Item(As<_Folders>(t).get(), 1, o), o); }},
    {L"GetLast", kMethod, 0, Result::kObject,
     [](IDispatch* t) { ComPtr<MAPIFolder> o; return Got(outlook::GetLast(As<_Folders>(t).get(), o), o); }},
    {L"Name", kGet, 0, Result::kText,
     [](IDispatch* t) { UniqueBstr s; return Got(outlook::GetName(As<MAPIFolder>(t).get(), s), s); }},
    {L"Name", kPut, 1, Result::kNone,
     [](IDispatch* t) { return outlook::PutName(As<MAPIFolder>(t).get(), L"Inbox") == S_OK; }},
    {L"Folders", kGet, 0, Result::kObject,
     [](IDispatch* t) { ComPtr<_Folders> o; return Got(outlook::GetFolders(As<MAPIFolder>(t).get(), o), o); }},
    {L"DefaultItemType", kGet, 0, Result::kNumber,
     [](IDispatch* t) { long n = 0; return Got(outlook::GetDefaultItemType(As<MAPIFolder>(t).get(), &n), n); }},
    {L"EntryID", kGet, 0, Result::kText,
     [](IDispatch* t) { UniqueBstr s; return Got(outlook::GetEntryID(As<MAPIFolder>(t).get(), s), s); }},
    {L"StoreID", kGet, 0, Result::kText,
     [](IDispatch* t) { UniqueBstr s; return Got(outlook::GetStoreID(As<MAPIFolder>(t).get(), s), s); }},
    {L"Parent", kGet, 0, Result::kObject,
     [](IDispatch* t) { ComPtr<IDispatch> o; return Got(outlook::GetParent(As<MAPIFolder>(t).get(), o), o); }},
    {L"Items", kGet, 0, Result::kObject,
     [](IDispatch* t) { ComPtr<_Items> o; return Got(outlook::GetItems(As<MAPIFolder>(t).get(), o), o); }},
    {L"Count", kGet, 0, Result::kNumber,
     [](IDispatch* t) { long n = 0; return Got(outlook::GetCount(As<_Items>(t).get(), &n), n); }},
    {L"GetFirst", kMethod, 0, Result::kObject,
     [](IDispatch* t) { ComPtr<IDispatch> o; return Got(outlook::GetFirst(As<_Items>(t).get(), o), o); }},
    {L"GetNext", kMethod, 0, Result::kObject,
     [](IDispatch* t) { ComPtr<IDispatch> o; return Got(outlook::GetNext(As<_Items>(t).get(), o), o); }},
    {L"EntryID", kGet, 0, Result::kText,
     [](IDispatch* t) { UniqueBstr s; return Got(outlook::GetEntryID(As<_MailItem>(t).get(), s), s); }},
    {L"MAPIOBJECT", kGet, 0, Result::kObject,
     [](IDispatch* t) { ComPtr<IUnknown> o; return Got(outlook::GetMAPIOBJECT(As<_MailItem>(t).get(), o), o); }},
};

TEST(ObjectModelTest, EveryOperationCallsItsMemberByName) {
    const ComPtr<FakeDispatch> result = AnyObject();
    for (size_t i = 0; i < std::size(kOperations); ++i) {
        const Operation& operation = kOperations[i];
        const ComPtr<FakeDispatch> target = AnyObject();
        target->On(operation.member, [&](const Invocation& call) {
            switch (operation.result) {
            case Result::kObject: return fake::ReturnObject(call, result.get());
            case Result::kText: return fake::ReturnText(call, kText);
            case Result::kNumber: return fake::ReturnLong(call, kNumber);
            case Result::kNone: break;
            }
            return fake::ReturnNothing(call);
        });
        EXPECT_TRUE(operation.call(target.get())) << "case " << i << " (" << operation.member << ")";
        ASSERT_EQ(1u, target->calls().size()) << "case " << i;
        const fake::Call& call = target->calls()[0];
        EXPECT_EQ(operation.flags, call.flags) << "case " << i;
        EXPECT_EQ(operation.argumentCount, call.argumentCount) << "case " << i;
        EXPECT_EQ(operation.flags == kPut, call.namedPut) << "case " << i;
        EXPECT_EQ(1u, target->references()) << "case " << i << ": a reference was kept";
    }
    EXPECT_EQ(1u, result->references()) << "a result reference was kept";
}

TEST(ObjectModelTest, ArgumentsArriveInDeclaredOrder) {
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
    const ComPtr<_NameSpace> typed = As<_NameSpace>(nameSpace.get());
    ASSERT_EQ(S_OK, outlook::Logon(typed.get(), Text(L"Outlook"), Text(L""), Bool(false), Bool(true)));
    ComPtr<MAPIFolder> folder;
    ASSERT_EQ(S_OK, outlook::GetFolderFromID(typed.get(), L"0000ABCD", Text(L"0000EF01"), folder));
    EXPECT_EQ(L"Outlook||false|true|0000ABCD|0000EF01|", seen);
}

TEST(ObjectModelTest, PutsPassTheirValue) {
    const ComPtr<FakeDispatch> target = AnyObject();
    std::wstring name;
    IDispatch* object = nullptr;
    target->On(L"Name", [&](const Invocation& call) {
        name = fake::ArgumentText(call.args.at(0));
        return S_OK;
    });
    target->On(L"Object", [&](const Invocation& call) {
        object = call.args.at(0).vt == VT_DISPATCH ? call.args.at(0).pdispVal : nullptr;
        return S_OK;
    });
    EXPECT_EQ(S_OK, outlook::PutName(As<MAPIFolder>(target.get()).get(), L"Gel\u00f6scht"));
    EXPECT_EQ(L"Gel\u00f6scht", name);
    EXPECT_EQ(S_OK, outlook::PutObject(As<COMAddIn>(target.get()).get(), target.get()));
    EXPECT_EQ(static_cast<IDispatch*>(target.get()), object);
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

TEST(ObjectModelTest, MissingMembersAndObjectsFailWithoutACall) {
    const ComPtr<FakeDispatch> folder = AnyObject();
    UniqueBstr name(SysAllocString(L"sentinel"));
    EXPECT_EQ(DISP_E_UNKNOWNNAME, outlook::GetName(As<MAPIFolder>(folder.get()).get(), name));
    EXPECT_EQ(nullptr, name.get());

    ComPtr<_Folders> folders;
    EXPECT_EQ(E_POINTER, outlook::GetFolders(static_cast<MAPIFolder*>(nullptr), folders));
    long count = -1;
    EXPECT_EQ(E_POINTER, outlook::GetCount(static_cast<_Items*>(nullptr), &count));
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

TEST(ObjectModelTest, TextsAndNumbersAreConverted) {
    const ComPtr<FakeDispatch> folder = AnyObject();
    folder->On(L"DefaultItemType", [](const Invocation& call) {
        VariantInit(call.result);
        call.result->vt = VT_I2;
        call.result->iVal = 3;
        return S_OK;
    });
    folder->On(L"EntryID", [](const Invocation& call) { return fake::ReturnLong(call, 1234); });
    folder->On(L"StoreID", [&](const Invocation& call) { return fake::ReturnObject(call, folder.get()); });
    const ComPtr<MAPIFolder> typed = As<MAPIFolder>(folder.get());

    long itemType = -1;
    EXPECT_EQ(S_OK, outlook::GetDefaultItemType(typed.get(), &itemType));
    EXPECT_EQ(3, itemType);
    UniqueBstr entryId;
    EXPECT_EQ(S_OK, outlook::GetEntryID(typed.get(), entryId));
    EXPECT_STREQ(L"1234", entryId.c_str());
    UniqueBstr storeId(SysAllocString(L"sentinel"));
    EXPECT_TRUE(FAILED(outlook::GetStoreID(typed.get(), storeId)));  // an object has no text here
    EXPECT_EQ(nullptr, storeId.get());
}

}  // namespace
