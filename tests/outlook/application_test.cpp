// Reaching Outlook's application, and the request operations of codes 5 and 8, with a
// scripted application registered in this process as Outlook's Application class.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

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

// Outlook's Application class, registered in this apartment for the owner's lifetime:
// creating it gives `application`, or fails with `failure`.
class RegisteredOutlook final : public IClassFactory {
public:
    RegisteredOutlook(IUnknown* application, HRESULT failure = S_OK) : application_(application), failure_(failure) {
        EXPECT_EQ(S_OK, CoRegisterClassObject(CLSID_OutlookApplication, this, CLSCTX_INPROC_SERVER,
                                              REGCLS_MULTIPLEUSE, &cookie_));
    }
    ~RegisteredOutlook() { EXPECT_EQ(S_OK, CoRevokeClassObject(cookie_)); }
    [[nodiscard]] int created() const noexcept { return created_; }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) noexcept override {
        *out = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;
        *out = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() noexcept override { return 2; }  // lives on the test's stack
    STDMETHODIMP_(ULONG) Release() noexcept override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown*, REFIID iid, void** out) noexcept override {
        *out = nullptr;
        if (FAILED(failure_)) return failure_;
        ++created_;
        return application_->QueryInterface(iid, out);
    }
    STDMETHODIMP LockServer(BOOL) noexcept override { return S_OK; }

private:
    IUnknown* application_;
    HRESULT failure_;
    DWORD cookie_ = 0;
    int created_ = 0;
};

constexpr HRESULT kNoServer = CO_E_SERVER_EXEC_FAILURE;

class OutlookApplicationTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(apartment_.succeeded());
        mark_ = testsupport::ReadLogTexts(ProcessLog()).size();
        application_->On(L"Quit", [this](const Invocation& call) {
            ++quits_;
            return FAILED(quitResult_) ? quitResult_ : fake::ReturnNothing(call);
        });
    }

    const base::ScopedComInitializer apartment_;
    const ComPtr<FakeDispatch> application_ = FakeDispatch::Create({__uuidof(_Application)});
    HRESULT quitResult_ = S_OK;
    int quits_ = 0;
    size_t mark_ = 0;
    CKsCommMailServer server_;
};

TEST_F(OutlookApplicationTest, GetOutlookApplicationGivesTheRunningApplication) {
    RegisteredOutlook outlook(application_.get());
    ComPtr<_Application> found;
    outlook::GetOutlookApplication(found);
    ASSERT_TRUE(found);
    EXPECT_EQ(static_cast<IDispatch*>(application_.get()), static_cast<IDispatch*>(found.get()));
    EXPECT_EQ(1, outlook.created());
    found.reset();
    EXPECT_EQ(1u, application_->references());
    EXPECT_EQ(Texts{}, LogSince(mark_));
}

TEST_F(OutlookApplicationTest, GetOutlookApplicationLogsWhatFailed) {
    const ComPtr<FakeDispatch> notOutlook = FakeDispatch::Create();
    const struct {
        IUnknown* object;
        HRESULT creation;
        HRESULT logged;
    } cases[] = {
        {application_.get(), kNoServer, kNoServer},
        {notOutlook.get(), S_OK, E_NOINTERFACE},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const size_t mark = testsupport::ReadLogTexts(ProcessLog()).size();
        RegisteredOutlook outlook(cases[i].object, cases[i].creation);
        ComPtr<_Application> found(static_cast<_Application*>(nullptr));
        outlook::GetOutlookApplication(found);
        EXPECT_FALSE(found) << "case " << i;
        EXPECT_EQ(Texts{UnableToInstantiate(cases[i].logged)}, LogSince(mark)) << "case " << i;
    }
    EXPECT_EQ(1u, notOutlook->references());
}

TEST_F(OutlookApplicationTest, QuitOutlookQuitsTheApplication) {
    RegisteredOutlook outlook(application_.get());
    EXPECT_TRUE(server_.QuitOutlook());
    EXPECT_EQ(1, quits_);
    EXPECT_EQ(1u, application_->references());
    EXPECT_EQ(Texts{}, LogSince(mark_));
}

TEST_F(OutlookApplicationTest, QuitOutlookAnswersFalseWhenRefusedOrUnavailable) {
    {
        RegisteredOutlook outlook(application_.get());
        quitResult_ = E_ACCESSDENIED;
        EXPECT_FALSE(server_.QuitOutlook());
        EXPECT_EQ(1, quits_);
        EXPECT_EQ(Texts{}, LogSince(mark_)) << "a refused Quit is not logged";
    }
    RegisteredOutlook unavailable(application_.get(), kNoServer);
    EXPECT_FALSE(server_.QuitOutlook());
    EXPECT_EQ(1, quits_);
    EXPECT_EQ(Texts{UnableToInstantiate(kNoServer)}, LogSince(mark_));
}

TEST_F(OutlookApplicationTest, StartOutlookCreatesTheApplicationAndLetsItRun) {
    RegisteredOutlook outlook(application_.get());
    EXPECT_TRUE(server_.StartOutlook());
    EXPECT_EQ(1, outlook.created());
    EXPECT_EQ(0, quits_);
    EXPECT_EQ(1u, application_->references());
}

TEST_F(OutlookApplicationTest, StartOutlookAnswersTrueWithoutOutlookAndLogsOnce) {
    RegisteredOutlook unavailable(application_.get(), kNoServer);
    EXPECT_TRUE(server_.StartOutlook());
    EXPECT_EQ(Texts{UnableToInstantiate(kNoServer)}, LogSince(mark_));
}

// A thread already in the multithreaded apartment cannot enter a single-threaded one:
// the operation goes on there and must not leave the apartment it did not enter.
TEST_F(OutlookApplicationTest, RequestsOnAThreadOfAnotherApartmentLeaveItAlone) {
    HRESULT stillEntered = E_FAIL;
    bool answered = true;
    std::thread worker([&] {
        const base::ScopedComInitializer multithreaded(COINIT_MULTITHREADED);
        RegisteredOutlook unavailable(application_.get(), kNoServer);
        answered = server_.QuitOutlook();
        const base::ScopedComInitializer again(COINIT_MULTITHREADED);
        stillEntered = again.result();
    });
    worker.join();
    EXPECT_FALSE(answered);
    EXPECT_EQ(S_FALSE, stillEntered) << "got 0x" << std::hex << stillEntered;
}

}  // namespace
