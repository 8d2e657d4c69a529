// FindFolderByPath and the path rules, on the Outlook stand-in's object model in this
// process, reached from a worker thread as a request handler reaches Outlook.
#include <gtest/gtest.h>

#include "folders/folder_path.h"
#include "outlook/object_model.h"
#include "tests/standin/outlook/om_test_util.h"

namespace {

constexpr char kLookupProfile[] = R"(profile "Lookup"
store "Mailbox" default
  folder "Inbox" role=inbox
    folder "Sales/Marketing"
    folder "A"
      folder "B"
    folder "A\\B"
    folder "Q: \"What?\" <maybe> | *"
    folder "Mäil"
store "Mailbox"
  folder "Inbox"
    folder "Only in the second"
store "Archive"
  folder "Inbox"
    folder "First"
store "Archive"
  folder "Inbox"
    folder "Second"
)";

struct LookupCase {
    const wchar_t* path;
    HRESULT result;
    const wchar_t* reached;  // path and name of the folder left in the out-parameter; "" for none
};

const LookupCase kLookups[] = {
    {L"\\\\Mailbox\\Inbox", S_OK, L"\\\\Mailbox\\Inbox|Inbox"},
    {L"\\\\mAILBOX\\iNBOX\\sales&#47MARKETING", S_OK, L"\\\\Mailbox\\Inbox\\Sales/Marketing|Sales/Marketing"},
    {L"\\\\Mailbox", S_OK, L"\\\\Mailbox|Mailbox"},
    {L"\\\\", S_OK, L"\\\\Mailbox|Mailbox"},                     // no root name: the default store
    {L"\\\\Unknown\\Inbox", S_OK, L"\\\\Mailbox\\Inbox|Inbox"},  // an unknown root: the default store
    // The default store wins over another of its root name; of two others, the first.
    {L"\\\\Mailbox\\Inbox\\Only in the second", E_FAIL, L"\\\\Mailbox\\Inbox|Inbox"},
    {L"\\\\Archive\\Inbox\\First", S_OK, L"\\\\Archive\\Inbox\\First|First"},
    {L"\\\\Archive\\Inbox\\Second", E_FAIL, L"\\\\Archive\\Inbox|Inbox"},
    // Only A to Z fold.
    {L"\\\\Mailbox\\Inbox\\Mäil", S_OK, L"\\\\Mailbox\\Inbox\\Mäil|Mäil"},
    {L"\\\\Mailbox\\Inbox\\MÄIL", E_FAIL, L"\\\\Mailbox\\Inbox|Inbox"},
    // An escaped backslash is part of the name; a plain one separates.
    {L"\\\\Mailbox\\Inbox\\A&#92B", S_OK, L"\\\\Mailbox\\Inbox\\A\\B|A\\B"},
    {L"\\\\Mailbox\\Inbox\\A\\B", S_OK, L"\\\\Mailbox\\Inbox\\A\\B|B"},
    {L"\\\\Mailbox\\Inbox\\Q&#58&#32&#34What&#63&#34&#32&#60maybe&#62&#32&#124&#32&#42", S_OK,
     L"\\\\Mailbox\\Inbox\\Q: \"What?\" <maybe> | *|Q: \"What?\" <maybe> | *"},
    // A semicolon after an entity is text of its own.
    {L"\\\\Mailbox\\Inbox\\Sales&#47;Marketing", E_FAIL, L"\\\\Mailbox\\Inbox|Inbox"},
    // Trailing and doubled backslashes ask for a folder of no name.
    {L"\\\\Mailbox\\Inbox\\", E_FAIL, L"\\\\Mailbox\\Inbox|Inbox"},
    {L"\\\\Mailbox\\\\Inbox", E_FAIL, L"\\\\Mailbox|Mailbox"},
    // No path; a relative path without a start folder.
    {L"", E_FAIL, L""},
    {L"Inbox", E_FAIL, L""},
};

class FindFolder : public omtest::HostedApplication {};

TEST_F(FindFolder, PathsOfTheLookupTable) {
    Reopen(kLookupProfile);
    omtest::AsAddInWorker([](_Application* application) {
        const base::ComPtr<_NameSpace> nameSpace = omtest::MapiNamespace(application);
        for (size_t i = 0; i < std::size(kLookups); ++i) {
            base::ComPtr<MAPIFolder> folder;
            const HRESULT hr = folders::FindFolderByPath(nameSpace.get(), folder, kLookups[i].path);
            EXPECT_EQ(kLookups[i].result, hr) << "case " << i << ": got 0x" << std::hex << hr;
            std::wstring reached;
            if (folder) {
                base::UniqueBstr path;
                EXPECT_EQ(S_OK, folders::BuildFolderPath(folder.get(), path)) << "case " << i;
                reached = omtest::Text(path) + L"|" + omtest::Name(folder.get());
            }
            EXPECT_EQ(kLookups[i].reached, reached) << "case " << i;
        }
    });
}

}  // namespace
