// Message files for tests, created and opened the way the add-in does (through
// mapi32.dll's exports) and property builders.
#pragma once

#include <windows.h>
#include <mapicode.h>
#include <mapidefs.h>
#include <mapitags.h>
#include <mapix.h>
#include <mapiutil.h>
#include <mapiguid.h>
#include <imessage.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/com.h"
#include "base/msg_session.h"

namespace msgtest {

// A message over a compound file.
struct MessageFile {
    base::ComPtr<IStorage> storage;
    base::MessageOnStorage message;

    // SaveChanges(KEEP_OPEN_READWRITE), then commits the root storage.
    [[nodiscard]] HRESULT Save();
};

// A new file at `path` (replacing one there), with its root class set; the add-in
// writes with `flags` 0, an 8-bit message file.
[[nodiscard]] HRESULT CreateMessageFile(const std::wstring& path, MessageFile& file,
                                        ULONG flags = MAPI_UNICODE);
// An existing file, opened as the add-in opens one to restore it.
[[nodiscard]] HRESULT OpenMessageFile(const std::wstring& path, MessageFile& file);
[[nodiscard]] HRESULT OpenMessageOn(IStorage* storage, MessageFile& file, ULONG flags = MAPI_UNICODE);

// Property values that point into `Values`-owned memory.
class Values {
public:
    SPropValue Long(ULONG tag, LONG v) { return Raw(tag, v); }
    SPropValue Wide(ULONG tag, const std::wstring& s);
    SPropValue Narrow(ULONG tag, const std::string& s);
    SPropValue Binary(ULONG tag, const std::string& bytes);
    template <typename T>
    SPropValue Raw(ULONG tag, const T& value) {  // into Value, for inline types
        SPropValue p{tag, 0, {}};
        std::memcpy(&p.Value, &value, sizeof(T));
        return p;
    }

private:
    std::vector<std::unique_ptr<std::string>> bytes_;
    std::vector<std::unique_ptr<std::wstring>> texts_;
};

// Adds `count` recipients (at most 3) "Recipient \u00e9 N", N from 0: the first To,
// the others Cc.
[[nodiscard]] HRESULT AddRecipients(IMessage* message, bool unicode, int count);

// Fills `message` with one value of every property type (strings 8-bit or
// Unicode as `unicode` says), a long body, binaries of several sizes, named
// properties, three recipients, an attachment by value and an embedded message
// that holds another embedded message. Returns the tags set on the top message.
[[nodiscard]] HRESULT FillRichMessage(IMessage* message, bool unicode, std::vector<ULONG>* tags = nullptr);

// A new file at `path` holding the rich message above, saved and committed.
[[nodiscard]] HRESULT WriteRichFile(const std::wstring& path, bool unicode);

// A readable rendering of one value, for comparisons and messages.
[[nodiscard]] std::string Describe(const SPropValue& v);

}  // namespace msgtest
