// CopyTo from a message file into another message, through the destination's
// interface only.
#include <gtest/gtest.h>

#include "standin/mapi/mapi.h"
#include "tests/standin/msg/msg_test_util.h"

#include "base/com_object.h"

#include <cstring>
#include <cwchar>

namespace {

using base::ComPtr;
using msgtest::MessageFile;
using msgtest::TempMessagePath;

constexpr ULONG kLargeValue = 32 * 1024;

// A destination that takes large strings and binaries only through streams, as
// store providers may: SetProps reports them as too large. Everything else goes
// to the message it wraps.
class StreamOnlyMessage final : public base::StaticComObject<IMessage> {  // lives on the test's stack
public:
    explicit StreamOnlyMessage(IMessage* inner) : inner_(inner) { inner_->AddRef(); }
    ~StreamOnlyMessage() override { inner_->Release(); }

    int streamedValues = 0;

    [[nodiscard]] std::span<const InterfaceEntry> Table() const noexcept override {
        static constexpr InterfaceEntry kInterfaces[] = {{&IID_IMAPIProp}, {&IID_IMessage}};
        return kInterfaces;
    }

    STDMETHODIMP SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) override {
        std::vector<SPropValue> small;
        std::vector<SPropProblem> refused;
        for (ULONG i = 0; i < count; ++i) {
            const ULONG type = PROP_TYPE(values[i].ulPropTag);
            const bool large = (type == PT_BINARY && values[i].Value.bin.cb > kLargeValue) ||
                               (type == PT_UNICODE && std::wcslen(values[i].Value.lpszW) * 2 > kLargeValue) ||
                               (type == PT_STRING8 && std::strlen(values[i].Value.lpszA) > kLargeValue);
            if (large) {
                refused.push_back({i, values[i].ulPropTag, MAPI_E_NOT_ENOUGH_MEMORY});
            } else {
                small.push_back(values[i]);
            }
        }
        HRESULT hr = inner_->SetProps(static_cast<ULONG>(small.size()), small.data(), nullptr);
        if (FAILED(hr) || !problems) return hr;
        *problems = nullptr;
        if (refused.empty()) return hr;
        MAPIAllocateBuffer(CbNewSPropProblemArray(refused.size()), reinterpret_cast<void**>(problems));
        (*problems)->cProblem = static_cast<ULONG>(refused.size());
        std::copy(refused.begin(), refused.end(), (*problems)->aProblem);
        return hr;
    }
    STDMETHODIMP OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags, LPUNKNOWN* out) override {
        if (iid && *iid == IID_IStream) ++streamedValues;
        return inner_->OpenProperty(tag, iid, options, flags, out);
    }

    // The rest goes to the wrapped message.
#define FORWARD(method, params, args) \
    STDMETHODIMP method params override { return inner_->method args; }
    FORWARD(GetLastError, (HRESULT a, ULONG b, LPMAPIERROR* c), (a, b, c))
    FORWARD(SaveChanges, (ULONG a), (a))
    FORWARD(GetProps, (LPSPropTagArray a, ULONG b, ULONG* c, LPSPropValue* d), (a, b, c, d))
    FORWARD(GetPropList, (ULONG a, LPSPropTagArray* b), (a, b))
    FORWARD(DeleteProps, (LPSPropTagArray a, LPSPropProblemArray* b), (a, b))
    FORWARD(CopyTo, (ULONG a, LPCIID b, LPSPropTagArray c, ULONG d, LPMAPIPROGRESS e, LPCIID f, LPVOID g, ULONG h,
                     LPSPropProblemArray* i), (a, b, c, d, e, f, g, h, i))
    FORWARD(CopyProps, (LPSPropTagArray a, ULONG b, LPMAPIPROGRESS c, LPCIID d, LPVOID e, ULONG f,
                        LPSPropProblemArray* g), (a, b, c, d, e, f, g))
    FORWARD(GetNamesFromIDs, (LPSPropTagArray* a, LPGUID b, ULONG c, ULONG* d, LPMAPINAMEID** e), (a, b, c, d, e))
    FORWARD(GetIDsFromNames, (ULONG a, LPMAPINAMEID* b, ULONG c, LPSPropTagArray* d), (a, b, c, d))
    FORWARD(GetAttachmentTable, (ULONG a, LPMAPITABLE* b), (a, b))
    FORWARD(OpenAttach, (ULONG a, LPCIID b, ULONG c, LPATTACH* d), (a, b, c, d))
    FORWARD(CreateAttach, (LPCIID a, ULONG b, ULONG* c, LPATTACH* d), (a, b, c, d))
    FORWARD(DeleteAttach, (ULONG a, ULONG b, LPMAPIPROGRESS c, ULONG d), (a, b, c, d))
    FORWARD(GetRecipientTable, (ULONG a, LPMAPITABLE* b), (a, b))
    FORWARD(ModifyRecipients, (ULONG a, LPADRLIST b), (a, b))
    FORWARD(SubmitMessage, (ULONG a), (a))
    FORWARD(SetReadFlag, (ULONG a), (a))
#undef FORWARD

private:
    IMessage* inner_;
};

// Writes a rich source file, copies it into a new file through `wrap`, and
// returns both files' streams.
template <typename Wrap>
void CopyFileThrough(bool unicode, Wrap wrap, std::map<std::string, std::string>& source,
                     std::map<std::string, std::string>& copy, ULONG copyFlags = MAPI_UNICODE) {
    TempMessagePath sourcePath(L"copy_source");
    TempMessagePath copyPath(L"copy_target");
    ASSERT_EQ(msgtest::WriteRichFile(sourcePath.path, unicode), S_OK);
    {
        MessageFile from;
        ASSERT_EQ(msgtest::OpenMessageFile(sourcePath.path, from), S_OK);
        MessageFile to;
        ASSERT_EQ(msgtest::CreateMessageFile(copyPath.path, to, copyFlags), S_OK);
        LPSPropValue mask = nullptr;
        ASSERT_EQ(HrGetOneProp(to.message.get(), PR_STORE_SUPPORT_MASK, &mask), S_OK);
        EXPECT_EQ(copyFlags & MAPI_UNICODE ? STORE_UNICODE_OK : 0, mask->Value.l & STORE_UNICODE_OK);
        MAPIFreeBuffer(mask);
        IMessage* destination = wrap(to.message.get());
        LPSPropProblemArray problems = reinterpret_cast<LPSPropProblemArray>(0xdeadbeef);
        ASSERT_EQ(from.message->CopyTo(0, nullptr, nullptr, 0, nullptr, &IID_IMessage, destination, 0, &problems),
                  S_OK);
        EXPECT_EQ(problems, nullptr);
        ASSERT_EQ(to.Save(), S_OK);
    }
    source = msgtest::DumpFile(sourcePath.path);
    copy = msgtest::DumpFile(copyPath.path);
}

void ExpectSameStreams(const std::map<std::string, std::string>& source,
                       const std::map<std::string, std::string>& copy) {
    EXPECT_GT(source.size(), 40u) << "a rich message has many streams";
    for (const auto& [name, bytes] : source) {
        const auto found = copy.find(name);
        if (found == copy.end()) {
            ADD_FAILURE() << "missing in the copy: " << name;
        } else {
            EXPECT_TRUE(found->second == bytes) << "differs: " << name;
        }
    }
    for (const auto& [name, bytes] : copy) EXPECT_TRUE(source.count(name)) << "only in the copy: " << name;
}

class CopyTo : public testing::TestWithParam<bool> {};

TEST_P(CopyTo, BetweenTwoFilesReproducesTheSourceExactly) {
    std::map<std::string, std::string> source, copy;
    CopyFileThrough(GetParam(), [](IMessage* m) { return m; }, source, copy);
    ExpectSameStreams(source, copy);
}

TEST_P(CopyTo, LargeValuesGoThroughStreamsWhenTheDestinationWantsThem) {
    std::map<std::string, std::string> source, copy;
    std::unique_ptr<StreamOnlyMessage> destination;
    CopyFileThrough(
        GetParam(),
        [&](IMessage* m) {
            destination = std::make_unique<StreamOnlyMessage>(m);
            return destination.get();
        },
        source, copy);
    ASSERT_TRUE(destination);
    EXPECT_EQ(destination->streamedValues, 2) << "the body and the 70000-byte binary";
    ExpectSameStreams(source, copy);
}

// The add-in makes its message file with flags 0: every Unicode string of the
// source lands as 8-bit text in the ANSI code page, "?" where it has no character.
TEST(CopyToAnEightBitFile, StoresEveryStringConvertedToTheCodePage) {
    std::map<std::string, std::string> source, copy;
    CopyFileThrough(true, [](IMessage* m) { return m; }, source, copy, 0);
    for (const auto& [name, bytes] : source) {
        if (name.size() < 4 || name.compare(name.size() - 4, 4, "001F") != 0) continue;
        const std::wstring wide(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
        std::string narrow(wide.size() * 2, '\0');
        narrow.resize(WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), narrow.data(),
                                          static_cast<int>(narrow.size()), nullptr, nullptr));
        const std::string narrowName = name.substr(0, name.size() - 4) + "001E";
        EXPECT_TRUE(!copy.count(name) && copy.count(narrowName) && copy.at(narrowName) == narrow) << name;
    }
    EXPECT_EQ(copy.at("/__substg1.0_0037001E"), "Quarterly report \xE9t\xE9");
}

INSTANTIATE_TEST_SUITE_P(StringWidths, CopyTo, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Unicode" : "Ansi"; });

}  // namespace
