// The profile description read by the profile generator: a short readable text,
// one line per profile, store, folder or item, nesting shown by indentation.
//
//   # comment
//   profile "Outlook" [fault=<profile faults>] [busy-call=N] [property-size-limit=BYTES]
//                     [main-thread-busy=MS] [locale=NAME]
//   store "Mailbox" [default] [uid=<32 hex>] [service-uid=<32 hex>] [fault=<store faults>]
//                   [folder-fault=<folder faults>]
//     folder "Inbox" [type=mail|calendar|contacts|tasks|journal|notes] [role=inbox|sent-items|...]
//                    [fault=<folder faults>] [message-fault=<message faults>] [count=N]
//       mail [subject=..] [body=..] [body-repeat=N] [from="Name <address>"] [to="Name <address>; ..."]
//            [cc=..] [bcc=..]
//            [date=2023-03-14T09:05:07] [message-id=<..>|none] [submit-time=none]
//            [class=IPM.Note] [attach="name.txt:content"]... [embed="Subject"] [ansi]
//            [fault=<message faults>] [count=N]
//       item class=IPM.Schedule.Meeting.Request [same attributes as mail]
//
// Values with blanks are quoted; inside quotes \" \\ \n \r \t \xHH are escapes. The text
// is UTF-8. With count=N a folder or item line stands for N of them, and "{n}" in
// its texts becomes 1..N. Everything not given has a fixed default, so the same
// description always gives the same profile. Faults are space-separated words of
// standin/store/faults.h, of the line's scope.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "standin/store/profile.h"

namespace standin::profilegen {

struct ItemPlan {
    std::vector<std::pair<std::string, std::wstring>> attributes;  // in line order; keys may repeat
    bool ansi = false;
    uint32_t faults = 0;
    uint32_t count = 1;
    uint32_t bodyRepeat = 1;  // the body is its text N times over
    uint32_t line = 0;

    [[nodiscard]] const std::wstring* Find(std::string_view key) const noexcept;
    [[nodiscard]] std::vector<std::wstring> FindAll(std::string_view key) const;
};

struct FolderPlan {
    std::wstring name;
    store::ItemType type = store::ItemType::Mail;
    std::vector<store::FolderRole> roles;
    uint32_t faults = 0;
    uint32_t messageFaults = 0;
    uint32_t count = 1;
    std::vector<FolderPlan> folders;
    std::vector<ItemPlan> items;
};

struct StorePlan {
    std::wstring name;
    bool isDefault = false;
    bool hasUid = false;
    GUID uid{};
    bool hasServiceUid = false;
    GUID serviceUid{};
    uint32_t faults = 0;
    FolderPlan root;  // its name is the store's; its folders and items are the store's top level
};

struct ProfilePlan {
    std::wstring name;
    uint32_t faults = 0;
    store::ProfileSettings settings;
    std::vector<StorePlan> stores;
};

// Parses a description. On failure `error` names the line and the problem and
// the result is MAPI_E_CORRUPT_DATA.
[[nodiscard]] HRESULT ParseDescription(std::string_view text, ProfilePlan& profile, std::wstring& error);

}  // namespace standin::profilegen
