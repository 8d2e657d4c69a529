// Reaching Outlook's application, and the request operations of codes 5 and 8, with a
// scripted application registered in this process as Outlook's Application class.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "base/com_object.h"
#include "diag/log.h"
#include "outlook/application.h"
#include "outlook/error_text.h"
#include "server/mail_server.h"
#include "tests/outlook/fake_dispatch.h"
#include "tests/support/log_reader.h"

namespace {

using base::ComPtr;
using fake::FakeDispatch;
using fake::Invocation;
using Texts = std::vector<std::wstring>;

// The log of this test process, opened once at a path of its own.
const std::wstring& ProcessLog() {
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
    return std::wstring(L"Unable to instantiate Outlook. Error ") + outlook::ErrorText(hr).c_str() + L" occured.";
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

    // An application object that counts its Quit calls, failing them with `quitResult`.
    ComPtr<FakeDispatch> Application(HRESULT run, HRESULT quitResult, int& quits) {
        ComPtr<FakeDispatch> application = FakeDispatch::Create({__uuidof(_Application)});
        if (run != kNotRunnable) application->MakeRunnable(run);
        application->On(L"Quit", [quitResult, &quits](const Invocation& call) {
            ++quits;
            return FAILED(quitResult) ? quitResult : fake::ReturnNothing(call);
        });
        return application;
    }

    const base::ScopedComInitializer apartment_;
    CKsCommMailServer server_;
};

// Code 5 quits the application and answers whether it did; code 8 only makes sure
// Outlook runs and always answers true. Both create the application, put it into the
// running state and query it for _Application; any failure there is logged once with
// its code, and nothing is kept.
TEST_F(OutlookApplicationTest, QuitAndStartOutlookRunTheApplicationOrLogWhatFailed) {
    const struct {
        bool (CKsCommMailServer::*operation)();
        HRESULT creation;
        HRESULT run;
        bool outlook;
        HRESULT quitResult;
        bool answer;
        int quits;
        HRESULT logged;
    } cases[] = {
        {&CKsCommMailServer::QuitOutlook, S_OK, kNotRunnable, true, S_OK, true, 1, S_OK},
        {&CKsCommMailServer::QuitOutlook, S_OK, S_OK, true, S_OK, true, 1, S_OK},
        {&CKsCommMailServer::QuitOutlook, S_OK, S_OK, true, E_ACCESSDENIED, false, 1, S_OK},  // a refusal is not logged
        {&CKsCommMailServer::QuitOutlook, kNoServer, S_OK, true, S_OK, false, 0, kNoServer},
        {&CKsCommMailServer::QuitOutlook, S_OK, kNotRunning, true, S_OK, false, 0, kNotRunning},
        {&CKsCommMailServer::QuitOutlook, S_OK, kNotRunnable, false, S_OK, false, 0, E_NOINTERFACE},
        {&CKsCommMailServer::StartOutlook, S_OK, S_OK, true, S_OK, true, 0, S_OK},
        {&CKsCommMailServer::StartOutlook, kNoServer, S_OK, true, S_OK, true, 0, kNoServer},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        int quits = 0;
        const ComPtr<FakeDispatch> application = cases[i].outlook ? Application(cases[i].run, cases[i].quitResult, quits)
                                                                  : FakeDispatch::Create();
        const size_t mark = testsupport::ReadLogTexts(ProcessLog()).size();
        {
            RegisteredOutlook outlook(application.get(), cases[i].creation);
            EXPECT_EQ(cases[i].answer, (server_.*cases[i].operation)()) << "case " << i;
        }
        EXPECT_EQ(cases[i].quits, quits) << "case " << i;
        EXPECT_EQ(cases[i].logged == S_OK ? Texts{} : Texts{UnableToInstantiate(cases[i].logged)}, LogSince(mark))
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
        answered = server_.QuitOutlook();
        const base::ScopedComInitializer again(COINIT_MULTITHREADED);
        stillEntered = again.result();
    });
    worker.join();
    EXPECT_FALSE(answered);
    EXPECT_EQ(S_FALSE, stillEntered) << "got 0x" << std::hex << stillEntered;
}

}  // namespace
