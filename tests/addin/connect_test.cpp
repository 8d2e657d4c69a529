// The add-in object driven as Outlook drives it, with a scripted Outlook application:
// what it publishes, what it logs, and the mail server it starts and stops.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "base/unique_resource.h"
#include "client/mail_client.h"
#include "tests/addin/plugin.h"
#include "tests/outlook/fake_dispatch.h"
#include "tests/support/com_check.h"
#include "tests/support/log_reader.h"
#include "tests/support/standin_host.h"

namespace {

using addintest::LoadedPlugin;
using base::ComPtr;
using fake::FakeDispatch;
using fake::Invocation;
using Texts = std::vector<std::wstring>;

constexpr wchar_t kChannel[] = L"DiRirire.MSOutlook";
constexpr wchar_t kHyphens[] = L"------------------------------------------";

std::wstring LogFolder() {
    wchar_t appData[MAX_PATH];
    EXPECT_EQ(S_OK, SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData));
    return std::wstring(appData) + L"\\Kestrava\\Backup\\MailBackup";
}
std::wstring LogPath() { return LogFolder() + L"\\TallowmereAddin.log"; }

size_t Count(const std::string& bytes, const std::string& part) {
    size_t count = 0;
    for (size_t at = bytes.find(part); at != std::string::npos; at = bytes.find(part, at + 1)) ++count;
    return count;
}

bool ServerRunning() { return !testsupport::ChannelFree(0); }

// Outlook's application with its add-in list; the add-in's entry records what is put
// into its Object.
class FakeOutlook {
public:
    FakeOutlook() {
        application_->On(L"COMAddIns", [this](const Invocation& call) {
            return FAILED(addInsFailure) ? addInsFailure : fake::ReturnObject(call, addIns_.get());
        });
        addIns_->On(L"Item", [this](const Invocation& call) {
            requested = fake::ArgumentText(call.args.at(0));
            if (FAILED(itemFailure)) return itemFailure;
            return fake::ReturnObject(call, itemMissing ? nullptr : addIn_.get());
        });
        addIn_->On(L"Object", [this](const Invocation& call) {
            published = call.args.at(0).vt == VT_DISPATCH ? call.args.at(0).pdispVal : nullptr;
            ++puts;
            return S_OK;
        });
    }
    [[nodiscard]] IDispatch* application() const { return application_.get(); }

    HRESULT addInsFailure = S_OK;
    HRESULT itemFailure = S_OK;
    bool itemMissing = false;
    std::wstring requested;
    IDispatch* published = nullptr;  // identity only; the add-in keeps its own reference
    int puts = 0;

private:
    const ComPtr<FakeDispatch> application_ = FakeDispatch::Create({__uuidof(_Application)});
    const ComPtr<FakeDispatch> addIns_ = FakeDispatch::Create({__uuidof(COMAddIns)});
    const ComPtr<FakeDispatch> addIn_ = FakeDispatch::Create({__uuidof(COMAddIn)});
};

class ConnectTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(apartment_.succeeded());
        ASSERT_TRUE(plugin_.loaded()) << "error " << GetLastError();
        ASSERT_TRUE(testsupport::ChannelFree(testsupport::StandinHost::kTimeoutMs))
            << "another process serves the add-in's channel";
        // A log left by another process goes; one this process holds open stays.
        DeleteFileW(LogPath().c_str());
        RemoveDirectoryW(LogFolder().c_str());
        logBefore_ = testsupport::ReadFileBytes(LogPath());
        ASSERT_EQ(S_OK, plugin_.CreateConnect(connect_));
    }

    // The log has not changed, and the folder of a missing log was not created.
    void ExpectNothingWritten() const {
        EXPECT_EQ(logBefore_, testsupport::ReadFileBytes(LogPath()));
        if (logBefore_.empty()) {
            EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(LogFolder().c_str()));
        }
    }

    const base::ScopedComInitializer apartment_;
    const LoadedPlugin plugin_;
    ComPtr<_IDTExtensibility2> connect_;
    std::string logBefore_;
};

TEST_F(ConnectTest, AnswersItsInterfacesEachDualOneWithItsOwnVtable) {
    testsupport::ExpectInterfaces(connect_.get(),
                                  {&IID_IDispatch, &__uuidof(_IDTExtensibility2), &__uuidof(IConnect)},
                                  {&__uuidof(_Application)});
    ComPtr<IConnect> connect;
    ASSERT_EQ(S_OK, connect_.As(connect));
    EXPECT_NE(static_cast<IUnknown*>(connect_.get()), static_cast<IUnknown*>(connect.get()));
}

// An application that is not Outlook's is refused; without its entry in Outlook's
// add-in list the add-in stays inert. Either way nothing is logged or served.
TEST_F(ConnectTest, WithoutOutlookOrItsEntryInTheAddInListTheAddInStaysInert) {
    const struct {
        const wchar_t* what;
        bool outlook;
        HRESULT addInsFailure;
        HRESULT itemFailure;
        bool itemMissing;
        HRESULT expected;
    } cases[] = {
        {L"not Outlook", false, S_OK, S_OK, false, S_FALSE},
        {L"COMAddIns fails", true, E_ACCESSDENIED, S_OK, false, S_OK},
        {L"Item fails", true, S_OK, static_cast<HRESULT>(0x80070057), false, S_OK},
        {L"Item gives nothing", true, S_OK, S_OK, true, S_OK},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(testing::Message()
                     << "case " << i << " (" << testing::PrintToString(cases[i].what) << ")");
        FakeOutlook outlook;
        outlook.addInsFailure = cases[i].addInsFailure;
        outlook.itemFailure = cases[i].itemFailure;
        outlook.itemMissing = cases[i].itemMissing;
        const ComPtr<FakeDispatch> notOutlook = FakeDispatch::Create();
        IDispatch* const application = cases[i].outlook ? outlook.application() : notOutlook.get();
        EXPECT_EQ(cases[i].expected, connect_->OnConnection(application, ext_cm_Startup, nullptr, nullptr));
        EXPECT_EQ(0, outlook.puts);
        EXPECT_FALSE(ServerRunning());
        ExpectNothingWritten();
        EXPECT_EQ(S_OK, connect_->OnDisconnection(ext_dm_HostShutdown, nullptr));
        EXPECT_EQ(1u, notOutlook->references());
    }
    EXPECT_EQ(S_FALSE, connect_->OnConnection(nullptr, ext_cm_Startup, nullptr, nullptr));
}

// The log's texts after `mark` lines, once `last` has been written.
Texts LogAfter(size_t mark, const std::wstring& last) {
    const Texts texts = testsupport::WaitForLog(LogPath(), [&](const Texts& t) {
        return t.size() > mark &&
               std::find(t.begin() + static_cast<std::ptrdiff_t>(mark), t.end(), last) != t.end();
    });
    return Texts(texts.begin() + static_cast<std::ptrdiff_t>(std::min(mark, texts.size())), texts.end());
}

bool Contains(const Texts& texts, const std::wstring& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

// One process, one log: the whole life of a connection, as Outlook leads it.
TEST_F(ConnectTest, ConnectionLifecycle) {
    ASSERT_TRUE(logBefore_.empty()) << "this process opened the log before";
    FakeOutlook outlook;

    // First connection: published in the add-in list, log header, server started.
    ASSERT_EQ(S_OK, connect_->OnConnection(outlook.application(), ext_cm_Startup, nullptr, nullptr));
    EXPECT_EQ(L"TallowmerePlugin.Connect", outlook.requested);
    ComPtr<IConnect> connectPart;
    ASSERT_EQ(S_OK, connect_.As(connectPart));
    EXPECT_EQ(1, outlook.puts);
    EXPECT_EQ(static_cast<IDispatch*>(connectPart.get()), outlook.published);
    EXPECT_TRUE(ServerRunning());

    const std::string bytes = testsupport::ReadFileBytes(LogPath());
    ASSERT_GE(bytes.size(), 10u);
    EXPECT_EQ(std::string("\xFF\xFE\r\0\n\0\r\0\n\0", 10), bytes.substr(0, 10)) << "mark, then CR LF CR LF";
    Texts texts = LogAfter(0, L"Initializing mail server...");
    ASSERT_GE(texts.size(), 3u);
    EXPECT_EQ(kHyphens, texts[0]);
    EXPECT_EQ(GetCommandLineW(), texts[1]);
    EXPECT_EQ(L"Initializing mail server...", texts[2]);
    EXPECT_FALSE(Contains(texts, L"CConnect::CConnect")) << "written before the log was open";
    EXPECT_FALSE(Contains(texts, L"CConnect::OnConnection")) << "written before the log was open";

    const struct {
        HRESULT (*call)(_IDTExtensibility2* connect);
        const wchar_t* logged;
    } notifications[] = {
        {[](_IDTExtensibility2* c) { return c->OnStartupComplete(nullptr); }, L"CConnect::OnStartupComplete"},
        {[](_IDTExtensibility2* c) { return c->OnAddInsUpdate(nullptr); }, L"CConnect::OnAddInsUpdate"},
        {[](_IDTExtensibility2* c) { return c->OnBeginShutdown(nullptr); }, L"CConnect::OnBeginShutdown"},
    };
    for (size_t i = 0; i < std::size(notifications); ++i) {
        const size_t mark = testsupport::ReadLogTexts(LogPath()).size();
        EXPECT_EQ(S_OK, notifications[i].call(connect_.get())) << "case " << i;
        EXPECT_EQ(Texts{notifications[i].logged}, LogAfter(mark, notifications[i].logged)) << "case " << i;
        EXPECT_TRUE(ServerRunning()) << "case " << i;
    }

    // Disconnection stops the server; a second one finds nothing to stop.
    EXPECT_EQ(S_OK, connect_->OnDisconnection(ext_dm_UserClosed, nullptr));
    EXPECT_FALSE(ServerRunning());
    EXPECT_FALSE(MailClient::Connect(kChannel, 2, 300)) << "still served after the disconnection";
    EXPECT_EQ(S_OK, connect_->OnDisconnection(ext_dm_UserClosed, nullptr));

    // Reconnection: the log is already open, so its line is there, then a second header.
    size_t mark = testsupport::ReadLogTexts(LogPath()).size();
    ASSERT_EQ(S_OK, connect_->OnConnection(outlook.application(), ext_cm_AfterStartup, nullptr, nullptr));
    EXPECT_TRUE(ServerRunning());
    EXPECT_EQ(2, outlook.puts);
    EXPECT_EQ((Texts{L"CConnect::OnConnection", kHyphens, GetCommandLineW(), L"Initializing mail server..."}),
              LogAfter(mark, L"Initializing mail server..."));
    texts = testsupport::ReadLogTexts(LogPath());
    EXPECT_EQ(2, std::count(texts.begin(), texts.end(), kHyphens)) << "two headers";
    const std::string again = testsupport::ReadFileBytes(LogPath());
    EXPECT_EQ(1u, Count(again, "\xFF\xFE")) << "one mark, at the start";
    // The second header's blank lines follow the line before it: CR LF three times.
    EXPECT_EQ(1u, Count(again, std::string("\r\0\n\0\r\0\n\0\r\0\n\0", 12)));

    // Shutdown as Outlook ends it; the last release ends the object.
    EXPECT_EQ(S_OK, connect_->OnDisconnection(ext_dm_HostShutdown, nullptr));
    EXPECT_FALSE(ServerRunning());
    connectPart.reset();
    mark = testsupport::ReadLogTexts(LogPath()).size();
    connect_.reset();
    EXPECT_EQ(Texts{L"CConnect::~CConnect"}, LogAfter(mark, L"CConnect::~CConnect"));
    EXPECT_EQ(S_OK, plugin_.CanUnloadNow());

    // An object connected again, this time without its entry in the add-in list (so it
    // no longer holds its own published interface), then released without a
    // disconnection: the object ends, but the module stays while the server it started
    // runs (unloading would stop its threads under the loader lock).
    ASSERT_EQ(S_OK, plugin_.CreateConnect(connect_));
    ASSERT_EQ(S_OK, connect_->OnConnection(outlook.application(), ext_cm_AfterStartup, nullptr, nullptr));
    outlook.itemMissing = true;
    ASSERT_EQ(S_OK, connect_->OnConnection(outlook.application(), ext_cm_AfterStartup, nullptr, nullptr));
    mark = testsupport::ReadLogTexts(LogPath()).size();
    connect_.reset();
    EXPECT_EQ(Texts{L"CConnect::~CConnect"}, LogAfter(mark, L"CConnect::~CConnect"));
    EXPECT_TRUE(ServerRunning());
    EXPECT_EQ(S_FALSE, plugin_.CanUnloadNow());
    ASSERT_EQ(S_OK, plugin_.CreateConnect(connect_));
    EXPECT_EQ(S_OK, connect_->OnDisconnection(ext_dm_HostShutdown, nullptr));
    EXPECT_FALSE(ServerRunning());
    connect_.reset();
    EXPECT_EQ(S_OK, plugin_.CanUnloadNow());
}

}  // namespace
