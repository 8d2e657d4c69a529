// Truncated, corrupted and hostile message files: a clear MAPI error from the
// call that meets them, never a crash, a hang or a read outside a buffer.
#include <gtest/gtest.h>

#include "tests/standin/msg/msg_test_util.h"

#include <cstdint>
#include <map>
#include <vector>

namespace {

using base::ComPtr;
using msgtest::MessageFile;

std::string U32(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
    return s;
}

// A property stream entry: tag, flags, then 8 bytes of value or size.
std::string Entry(uint32_t tag, uint32_t value) { return U32(tag) + U32(6) + U32(value) + U32(0); }

std::string TopHeader(uint32_t recipients = 0, uint32_t attachments = 0) {
    return std::string(8, '\0') + U32(recipients) + U32(attachments) + U32(recipients) + U32(attachments) +
           std::string(8, '\0');
}

HRESULT MemoryStorage(ComPtr<IStorage>& storage) {
    ComPtr<ILockBytes> bytes;
    HRESULT hr = CreateILockBytesOnHGlobal(nullptr, TRUE, bytes.put());
    if (FAILED(hr)) return hr;
    return StgCreateDocfileOnILockBytes(bytes.get(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                                        storage.put());
}

// Rebuilds a storage from a dump.
// Every storage on a path stays open while its children are written: releasing
// a parent reverts its children.
void Rebuild(IStorage* root, const std::map<std::string, std::string>& dump) {
    constexpr DWORD kMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
    for (const auto& [path, bytes] : dump) {
        std::vector<ComPtr<IStorage>> chain;
        IStorage* at = root;
        std::size_t start = 1;
        for (std::size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
            const std::wstring name(path.begin() + start, path.begin() + slash);
            ComPtr<IStorage> child;
            if (FAILED(at->OpenStorage(name.c_str(), nullptr, kMode, nullptr, 0, child.put()))) {
                ASSERT_EQ(at->CreateStorage(name.c_str(), kMode | STGM_CREATE, 0, 0, child.put()), S_OK)
                    << path;
            }
            at = child.get();
            chain.push_back(std::move(child));
        }
        ComPtr<IStream> stream;
        const std::wstring name(path.begin() + start, path.end());
        ASSERT_EQ(at->CreateStream(name.c_str(), kMode | STGM_CREATE, 0, 0, stream.put()), S_OK) << path;
        ULONG written = 0;
        ASSERT_EQ(
            bytes.empty() ? S_OK : stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written),
            S_OK);
    }
}

using Streams = std::map<std::string, std::string>;

// A fresh in-memory storage holding `streams`, then the message over it.
HRESULT OpenBuilt(const Streams& streams, MessageFile& file) {
    if (HRESULT hr = MemoryStorage(file.storage); FAILED(hr)) return hr;
    Rebuild(file.storage.get(), streams);
    return msgtest::OpenMessageOn(file.storage.get(), file);
}

TEST(BadInput, CorruptLayoutsAreRejected) {
    const std::string props = "/__properties_version1.0", top = TopHeader();
    const auto names = [&](const std::string& guids, const std::string& entries, const std::string& strings) {
        return Streams{{props, top},
                       {"/__nameid_version1.0/__substg1.0_00020102", guids},
                       {"/__nameid_version1.0/__substg1.0_00030102", entries},
                       {"/__nameid_version1.0/__substg1.0_00040102", strings}};
    };
    Streams deep = {{props, TopHeader(0, 1)}};
    std::string level;
    for (int depth = 0; depth < 20; ++depth) {
        level += "/__attach_version1.0_#00000000";
        deep[level + "/__properties_version1.0"] =
            std::string(8, '\0') + Entry(PR_ATTACH_DATA_OBJ, 0xFFFFFFFF);
        level += "/__substg1.0_3701000D";
        deep[level + "/__properties_version1.0"] = std::string(24, '\0');
    }
    const struct {
        const char* name;
        Streams streams;
    } cases[] = {
        {"embedded messages nested too deep", deep},
        {"partial entry", {{props, top + "abc"}}},
        {"short header", {{props, "12345678"}}},
        {"no property stream", {{"/__substg1.0_0037001F", "x"}}},
        {"missing value stream", {{props, top + Entry(PR_SUBJECT_W, 10)}}},
        {"size beyond stream",
         {{props, top + Entry(PR_ENTRYID, 0xFFFFFFF0)}, {"/__substg1.0_0FFF0102", "abc"}}},
        {"absurd multi-value count",
         {{props, top + Entry(PROP_TAG(PT_MV_UNICODE, 0x6800), 0x7FFFFFF0)},
          {"/__substg1.0_6800101F", U32(4)}}},
        {"missing multi-value stream",
         {{props, top + Entry(PROP_TAG(PT_MV_BINARY, 0x6800), 16)},
          {"/__substg1.0_68001102", U32(1) + U32(0) + U32(1) + U32(0)},
          {"/__substg1.0_68001102-00000000", "a"}}},
        {"ragged fixed array",
         {{props, top + Entry(PROP_TAG(PT_MV_LONG, 0x6800), 7)}, {"/__substg1.0_68001003", "1234567"}}},
        {"short CLSID",
         {{props, top + Entry(PROP_TAG(PT_CLSID, 0x6800), 16)}, {"/__substg1.0_68000048", "short"}}},
        {"recipient without properties", {{props, TopHeader(1)}, {"/__recip_version1.0_#00000000/x", ""}}},
        {"attachment names a missing embedded message",
         {{props, TopHeader(0, 1)},
          {"/__attach_version1.0_#00000000/__properties_version1.0",
           std::string(8, '\0') + Entry(PR_ATTACH_DATA_OBJ, 0xFFFFFFFF)}}},
        {"bad GUID index", names("", U32(1) + U32(7 << 1), "")},
        {"string offset outside", names("", U32(100) + U32((2 << 1) | 1), U32(2) + "ab")},
        {"string length outside", names("", U32(0) + U32((2 << 1) | 1), U32(1000) + "ab")},
        {"names out of order", names("", U32(1) + U32((5u << 16) | (1 << 1)), "")},
        {"ragged GUID stream", names("0123456789", "", "")},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        MessageFile file;
        EXPECT_EQ(OpenBuilt(cases[i].streams, file), MAPI_E_CORRUPT_DATA)
            << "case " << i << ": " << cases[i].name;
        EXPECT_FALSE(file.message) << "case " << i;
    }
}

}  // namespace
