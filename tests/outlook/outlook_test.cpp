// The code that talks to Outlook, against scripted automation objects: the typed
// object-model layer's results, reaching Outlook's application for the request
// operations of codes 5 and 8, and the texts their failures are logged with.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "base/com_object.h"
#include "diag/log.h"
#include "outlook/application.h"
#include "outlook/error_text.h"
#include "outlook/object_model.h"
#include "outlook/outlook_requests.h"
#include "tests/outlook/fake_dispatch.h"
#include "tests/support/log_reader.h"

namespace {

using base::ComPtr;
using fake::FakeDispatch;
using fake::Invocation;
using Texts = std::vector<std::wstring>;

const std::wstring& ProcessLog() {  // opened once, at a path of its own
    static const std::wstring path = [] {
        std::wstring p = testsupport::TempPath(L"outlook-tests.log");
        OpenLogFile(p.c_str());
        return p;
    }();
    return path;
}

// The log texts written since `mark` lines were there.
Texts LogSince(size_t mark) {
    const Texts texts = testsupport::ReadLogTexts(ProcessLog());
    return Texts(texts.begin() + static_cast<std::ptrdiff_t>(std::min(mark, texts.size())), texts.end());
}

std::wstring UnableToInstantiate(HRESULT hr) {
    return std::wstring(L"Unable to instantiate Outlook. Error ") + outlook::ErrorText(hr).c_str() +
           L" occured.";
}

// What creating Outlook's Application class gives while a RegisteredOutlook lives.
IDispatch* g_application = nullptr;
HRESULT g_creationFailure = S_OK;

HRESULT CreateApplication(REFIID iid, void** out) noexcept {
    return FAILED(g_creationFailure) ? g_creationFailure : g_application->QueryInterface(iid, out);
}

// Outlook's Application class, registered in this apartment for the owner's lifetime:
// creating it gives `application`, or fails with `failure` (then `application` may be null).
class RegisteredOutlook {
public:
    RegisteredOutlook(IDispatch* application, HRESULT failure = S_OK) {
        g_application = application;
        g_creationFailure = failure;
        static base::ClassFactory<&CreateApplication> factory;
        EXPECT_EQ(S_OK, CoRegisterClassObject(CLSID_OutlookApplication, static_cast<IClassFactory*>(&factory),
                                              CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_));
    }
    ~RegisteredOutlook() { EXPECT_EQ(S_OK, CoRevokeClassObject(cookie_)); }

private:
    DWORD cookie_ = 0;
};

constexpr HRESULT kNoServer = CO_E_SERVER_EXEC_FAILURE;
constexpr HRESULT kNotRunning = CO_E_APPNOTFOUND;  // the application's Run fails
constexpr HRESULT kNotRunnable = S_FALSE;          // the application has no IRunnableObject

class OutlookApplicationTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(apartment_.succeeded()); }

    const base::ScopedComInitializer apartment_;
};

// Code 5 quits the application and answers whether it did; code 8 only makes sure
// Outlook runs and always answers true. Both create the application, put it into the
// running state and query it for _Application; any failure there is logged once with
// its code, and nothing is kept.
TEST_F(OutlookApplicationTest, QuitAndStartOutlookRunTheApplicationOrLogWhatFailed) {
    const struct {
        bool (*operation)() noexcept;
        HRESULT creation, run;
        bool outlook;  // the application answers _Application
        HRESULT quitResult;
        bool answer;
        int quits;
        HRESULT logged;
    } cases[] = {
        {outlook::QuitOutlook, S_OK, kNotRunnable, true, S_OK, true, 1, S_OK},
        {outlook::QuitOutlook, S_OK, S_OK, true, S_OK, true, 1, S_OK},
        {outlook::QuitOutlook, S_OK, S_OK, true, E_ACCESSDENIED, false, 1, S_OK},  // a refusal is not logged
        {outlook::QuitOutlook, kNoServer, S_OK, true, S_OK, false, 0, kNoServer},
        {outlook::QuitOutlook, S_OK, kNotRunning, true, S_OK, false, 0, kNotRunning},
        {outlook::QuitOutlook, S_OK, kNotRunnable, false, S_OK, false, 0, E_NOINTERFACE},
        {outlook::StartOutlook, S_OK, S_OK, true, S_OK, true, 0, S_OK},
        {outlook::StartOutlook, kNoServer, S_OK, true, S_OK, true, 0, kNoServer},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        int quits = 0;
        const ComPtr<FakeDispatch> application =
            cases[i].outlook ? FakeDispatch::Create({__uuidof(_Application)}) : FakeDispatch::Create();
        if (cases[i].run != kNotRunnable) application->MakeRunnable(cases[i].run);
        application->On(L"Quit", [&](const Invocation& call) {
            ++quits;
            return FAILED(cases[i].quitResult) ? cases[i].quitResult : fake::ReturnNothing(call);
        });
        const size_t mark = testsupport::ReadLogTexts(ProcessLog()).size();
        {
            RegisteredOutlook outlook(application.get(), cases[i].creation);
            EXPECT_EQ(cases[i].answer, cases[i].operation()) << "case " << i;
        }
        EXPECT_EQ(cases[i].quits, quits) << "case " << i;
        EXPECT_EQ(cases[i].logged == S_OK ? Texts{} : Texts{UnableToInstantiate(cases[i].logged)},
                  LogSince(mark))
            << "case " << i;
        EXPECT_EQ(1u, application->references()) << "case " << i << ": a reference was kept";
    }
}

// A thread already in the multithreaded apartment cannot enter a single-threaded one:
// the operation goes on there and must not leave the apartment it did not enter.
TEST_F(OutlookApplicationTest, RequestsOnAThreadOfAnotherApartmentLeaveItAlone) {
    HRESULT stillEntered = E_FAIL;
    bool answered = true;
    std::thread worker([&] {
        const base::ScopedComInitializer multithreaded(COINIT_MULTITHREADED);
        RegisteredOutlook unavailable(nullptr, kNoServer);
        answered = outlook::QuitOutlook();
        const base::ScopedComInitializer again(COINIT_MULTITHREADED);
        stillEntered = again.result();
    });
    worker.join();
    EXPECT_FALSE(answered);
    EXPECT_EQ(S_FALSE, stillEntered) << "got 0x" << std::hex << stillEntered;
}

template <typename Interface>
ComPtr<Interface> As(IDispatch* object) {
    ComPtr<Interface> typed;
    EXPECT_EQ(S_OK, object->QueryInterface(__uuidof(Interface), typed.put_void()));
    return typed;
}

HRESULT WINAPI FillInNotFound(EXCEPINFO* exception) {
    exception->scode = static_cast<HRESULT>(0x8004010F);
    return S_OK;
}

// The typed object-model layer: every object result goes the same way: failures give the member's own code,
// "Nothing" a null result, an object of another kind its query's failure; the out-parameter, pre-filled, is
// null unless an object of the right kind came.
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
        const ComPtr<FakeDispatch> folders = FakeDispatch::Create({__uuidof(MAPIFolder), __uuidof(_Folders)});
        folders->On(L"Item", cases[i].member);
        ComPtr<MAPIFolder> folder(As<MAPIFolder>(folders.get()).detach());
        const HRESULT hr = outlook::Item(As<_Folders>(folders.get()).get(), 3, folder);
        EXPECT_EQ(cases[i].expected, hr) << "case " << i << ": got 0x" << std::hex << hr;
        EXPECT_FALSE(folder) << "case " << i;
    }
    EXPECT_EQ(1u, meeting->references()) << "a reference was kept";
}

TEST(ErrorTextTest, SystemTextWithoutItsLineBreakOrAFallback) {
    const struct {
        HRESULT hr;
        const wchar_t* expected;  // null: the system's own text, without its line break
    } cases[] = {
        {static_cast<HRESULT>(ERROR_ACCESS_DENIED), nullptr},
        {E_OUTOFMEMORY, nullptr},
        {static_cast<HRESULT>(0x80040205), L"IDispatch error #5"},
        {static_cast<HRESULT>(0x8004FFFF), L"IDispatch error #65023"},    // the range's last
        {static_cast<HRESULT>(0x80040200), L"Unknown error 0x80040200"},  // just below the range
        {static_cast<HRESULT>(0x80050000), L"Unknown error 0x80050000"},  // just above it
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        outlook::ErrorText text(cases[i].hr);
        const std::wstring got = text.c_str() ? text.c_str() : L"";
        if (cases[i].expected) {
            EXPECT_EQ(cases[i].expected, got) << "case " << i;
        } else {  // Wine's wording differs from Windows': only its shape is checked
            EXPECT_TRUE(!got.empty() && got.back() != L'\n' && got.back() != L'\r')
                << "case " << i << ": " << got.size();
            EXPECT_FALSE(got.starts_with(L"IDispatch error") || got.starts_with(L"Unknown error"))
                << "case " << i;
        }
    }
}

}  // namespace
