#include "tests/restore/same_message.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "base/mapi_buffer.h"
#include "base/mapi_row_set.h"
#include "tests/standin/msg/msg_test_util.h"
#include "tests/standin/store/mapi_test_util.h"

namespace restoretest {
namespace {

using base::ComPtr;

// Every property but objects, by tag, or for named ones by name; the value without its tag.
std::map<std::string, std::string> Properties(IMAPIProp* object) {
    std::map<std::string, std::string> out;
    ULONG count = 0;
    base::UniqueMapiBuffer<SPropValue> values;
    if (FAILED(object->GetProps(nullptr, 0, &count, values.put()))) return out;
    for (ULONG i = 0; i < count; ++i) {
        const SPropValue& v = values.get()[i];
        if (PROP_TYPE(v.ulPropTag) == PT_OBJECT) continue;
        std::ostringstream key;
        key << std::hex << v.ulPropTag;
        if (PROP_ID(v.ulPropTag) >= 0x8000) {
            SizedSPropTagArray(1, tag) = {1, {v.ulPropTag}};
            auto* tags = reinterpret_cast<LPSPropTagArray>(&tag);
            ULONG names = 0;
            LPMAPINAMEID* name = nullptr;
            if (SUCCEEDED(object->GetNamesFromIDs(&tags, nullptr, 0, &names, &name)) && names == 1 &&
                name[0]) {
                key.str("");
                key << storetest::Utf8(storetest::Hex(name[0]->lpguid, sizeof(GUID))) << '/'
                    << PROP_TYPE(v.ulPropTag) << '/';
                if (name[0]->ulKind == MNID_ID) key << name[0]->Kind.lID;
                if (name[0]->ulKind == MNID_STRING) key << storetest::Utf8(name[0]->Kind.lpwstrName);
            }
            MAPIFreeBuffer(name);
        }
        out[key.str()] = msgtest::Describe(v).substr(9);
    }
    return out;
}

// The bytes of a property read as a stream; empty when it cannot be.
std::string StreamBytes(IMAPIProp* object, ULONG tag) {
    ComPtr<IStream> stream;
    if (!tag ||
        FAILED(object->OpenProperty(tag, &IID_IStream, 0, 0, reinterpret_cast<IUnknown**>(stream.put())))) {
        return {};
    }
    std::string bytes;
    char buffer[4096];
    for (ULONG read = 0; SUCCEEDED(stream->Read(buffer, sizeof(buffer), &read)) && read > 0;)
        bytes.append(buffer, read);
    return bytes;
}

// The rows of a recipient or attachment table, in order.
std::vector<std::map<std::string, std::string>> Rows(IMAPITable* table) {
    std::vector<std::map<std::string, std::string>> out;
    base::UniqueRowSet rows;
    if (!table || FAILED(HrQueryAllRows(table, nullptr, nullptr, nullptr, 0, rows.put()))) return out;
    for (ULONG r = 0; r < rows.get()->cRows; ++r) {
        std::map<std::string, std::string>& row = out.emplace_back();
        const SRow& source = rows.get()->aRow[r];
        for (ULONG c = 0; c < source.cValues; ++c)
            row[msgtest::Describe(source.lpProps[c]).substr(0, 8)] = msgtest::Describe(source.lpProps[c]);
    }
    return out;
}

}  // namespace

// Everything of `saved` is in `restored` with the same value: properties, recipients,
// attachments, and embedded messages in turn. The store may add properties of its own.
void ExpectSameMessage(IMessage* saved, IMessage* restored, const std::string& where) {
    const auto savedProps = Properties(saved), restoredProps = Properties(restored);
    EXPECT_FALSE(savedProps.empty()) << where;
    for (const auto& [key, value] : savedProps) {
        const auto found = restoredProps.find(key);
        if (found != restoredProps.end() && found->second == value) continue;
        // A value too large for GetProps comes from the store as an error: its stream counts.
        const ULONG tag = key.find('/') == std::string::npos ? std::stoul(key, nullptr, 16) : 0;
        const std::string savedStream = StreamBytes(saved, tag);
        EXPECT_TRUE(!savedStream.empty() && savedStream == StreamBytes(restored, tag))
            << where << " property " << key;
    }
    ComPtr<IMAPITable> savedRecipients, restoredRecipients, savedAttachments, restoredAttachments;
    static_cast<void>(saved->GetRecipientTable(0, savedRecipients.put()));
    static_cast<void>(restored->GetRecipientTable(0, restoredRecipients.put()));
    EXPECT_EQ(Rows(savedRecipients.get()), Rows(restoredRecipients.get())) << where << " recipients";
    static_cast<void>(saved->GetAttachmentTable(0, savedAttachments.put()));
    static_cast<void>(restored->GetAttachmentTable(0, restoredAttachments.put()));
    const auto savedRows = Rows(savedAttachments.get()), restoredRows = Rows(restoredAttachments.get());
    ASSERT_EQ(savedRows.size(), restoredRows.size()) << where << " attachments";
    for (ULONG n = 0; n < savedRows.size(); ++n) {
        const std::string at = where + " attachment " + std::to_string(n);
        ComPtr<IAttach> savedAttach, restoredAttach;
        ASSERT_EQ(S_OK, saved->OpenAttach(n, nullptr, 0, savedAttach.put())) << at;
        ASSERT_EQ(S_OK, restored->OpenAttach(n, nullptr, 0, restoredAttach.put())) << at;
        const auto attachProps = Properties(savedAttach.get());
        EXPECT_EQ(attachProps, Properties(restoredAttach.get())) << at;
        ComPtr<IMessage> savedEmbedded, restoredEmbedded;
        if (SUCCEEDED(savedAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0,
                                                reinterpret_cast<IUnknown**>(savedEmbedded.put())))) {
            ASSERT_EQ(S_OK,
                      restoredAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0,
                                                   reinterpret_cast<IUnknown**>(restoredEmbedded.put())))
                << at;
            ExpectSameMessage(savedEmbedded.get(), restoredEmbedded.get(), at + " embedded");
        }
    }
}

}  // namespace restoretest
