// Helpers of the stand-in Outlook's tests: this test program plays the host (its main
// thread, a single-threaded apartment, opens the application through host_api.h on a
// profile written by profile-gen.exe) and reaches the object model as the add-in does,
// from worker threads of their own apartments, through the add-in's typed layer.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/com.h"
#include "outlook/object_model.h"
#include "outlook/outlook_interfaces.h"
#include "standin/outlook/host_api.h"
#include "tests/standin/store/mapi_test_util.h"

namespace omtest {

// Runs `body` as the add-in's request handlers run: on a new thread that entered a
// single-threaded apartment and got the application with CoCreateInstance
// (CLSCTX_ALL), OleRun and a query for _Application. Returns when it is done, serving
// its calls to the object model on this thread meanwhile.
void AsAddInWorker(const std::function<void(_Application* application)>& body);

// The application's "MAPI" namespace, or a failed assertion.
[[nodiscard]] base::ComPtr<_NameSpace> MapiNamespace(_Application* application);

[[nodiscard]] std::wstring Name(MAPIFolder* folder);
[[nodiscard]] std::wstring Text(const base::UniqueBstr& text);
// The subfolder of that name, found by walking Folders with Count and Item.
[[nodiscard]] base::ComPtr<MAPIFolder> Subfolder(MAPIFolder* parent, const std::wstring& name);
// The root folder of the store of that name.
[[nodiscard]] base::ComPtr<MAPIFolder> StoreRoot(_NameSpace* nameSpace, const std::wstring& name);
// The folder at `path` ("Store\Folder\Sub") from the namespace's roots.
[[nodiscard]] base::ComPtr<MAPIFolder> FolderAt(_NameSpace* nameSpace, const std::vector<std::wstring>& path);

// Every item of a folder through Items.GetFirst / GetNext, until "Nothing".
[[nodiscard]] std::vector<base::ComPtr<IDispatch>> AllItems(MAPIFolder* folder);

// A property read by name with raw IDispatch::Invoke, as a scripting client reads it.
struct RawGet {
    HRESULT result = 0xdeadbeef;
    EXCEPINFO exception{};
    VARIANT value{};
    RawGet() { VariantInit(&value); }
    ~RawGet();
    RawGet(const RawGet&) = delete;
    RawGet& operator=(const RawGet&) = delete;
};
void GetProperty(IDispatch* object, const wchar_t* name, RawGet& get);

// The test plays the host: the application opened on a profile of its own.
class HostedApplication : public testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
    void TearDown() override { OutlookStandinClose(); }

    // Closes the application and opens it again on a new profile.
    void Reopen(const std::string& description);
    [[nodiscard]] const std::wstring& profile() const noexcept { return profile_; }

private:
    void Open(const std::string& description);

    storetest::TempFolder temp_;
    std::wstring profile_;
    int opened_ = 0;
};

// The profile most tests run on.
inline constexpr char kDescription[] = R"(profile "Stand-in Test"
store "Mailbox" default
  folder "Inbox" role=inbox
    mail subject="First mail" body="one"
    item class=IPM.Schedule.Meeting.Request subject="Planning meeting"
    item class=REPORT.IPM.Note.NDR subject="Undeliverable"
    mail subject="Grüße – second mail" class=IPM.Note.SMIME
    folder "Projects"
      folder "2023"
    folder "A\\B"
  folder "Junk E-mail" role=junk
  folder "Deleted Items" role=deleted-items
    folder "Old"
  folder "Calendar" type=calendar role=calendar
    item class=IPM.Appointment subject="Team meeting"
    folder "Notes"
  folder "Contacts" type=contacts role=contacts
    item class=IPM.Contact subject="Anna Berg"
store "Archive"
  folder "2022"
    mail subject="Archived"
)";

}  // namespace omtest
