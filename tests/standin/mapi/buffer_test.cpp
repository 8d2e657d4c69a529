#include <gtest/gtest.h>

#include <windows.h>
#include <mapicode.h>
#include <mapix.h>

#include <cstring>
#include <string>

extern "C" {
LPMALLOC WINAPI MAPIGetDefaultMalloc();
void WINAPI HexFromBin(LPBYTE lpb, int cb, LPSTR lpsz);
BOOL WINAPI FBinFromHex(LPSTR lpsz, LPBYTE lpb);
SCODE WINAPI ScBinFromHexBounded(LPSTR lpsz, LPBYTE lpb, ULONG cb);
}

namespace {

TEST(MapiBuffer, AllocateMoreTiesBlocksToTheirRoot) {
    void* root = reinterpret_cast<void*>(0xdeadbeef);
    ASSERT_EQ(MAPIAllocateBuffer(16, &root), S_OK);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(root) % 16, 0u) << "data is 16-byte aligned";
    // Tied to the root, and to a tied block (which ties to the same root).
    void* child = nullptr;
    void* grandchild = nullptr;
    ASSERT_EQ(MAPIAllocateMore(100000, root, &child), S_OK);
    ASSERT_EQ(MAPIAllocateMore(8, child, &grandchild), S_OK);
    std::memset(child, 0xAB, 100000);
    std::memset(grandchild, 0xCD, 8);
    // Freeing a tied block alone leaves it to its root; the root frees all.
    EXPECT_EQ(MAPIFreeBuffer(child), 0u);
    EXPECT_EQ(static_cast<unsigned char*>(child)[99999], 0xAB);
    EXPECT_EQ(MAPIFreeBuffer(root), 0u);
    EXPECT_EQ(MAPIFreeBuffer(nullptr), 0u);
}

TEST(MapiBuffer, DefaultMallocIsOneStaticObject) {
    IMalloc* malloc = MAPIGetDefaultMalloc();
    ASSERT_NE(malloc, nullptr);
    EXPECT_EQ(malloc, MAPIGetDefaultMalloc());
    EXPECT_EQ(1u, malloc->AddRef()) << "as MAPI's answers";
    EXPECT_EQ(1u, malloc->Release());
}

// One codec behind all three calls: encoding, decoding either case, bounds, odd
// and non-digit text.
TEST(HexText, RoundTripsAndRejectsNonDigits) {
    BYTE bytes[] = {0x00, 0x01, 0xAB, 0xFF, 0x7E}, back[sizeof(bytes)] = {};
    char text[2 * sizeof(bytes) + 1], lower[] = "0001abff7e", bad[] = "zz";
    std::memset(text, 'x', sizeof(text));
    HexFromBin(bytes, sizeof(bytes), text);
    EXPECT_STREQ(text, "0001ABFF7E");
    EXPECT_TRUE(FBinFromHex(lower, back));
    EXPECT_EQ(std::memcmp(back, bytes, sizeof(bytes)), 0);
    EXPECT_FALSE(FBinFromHex(bad, back));

    const struct {
        const char* text;
        ULONG bound;
        SCODE expected;
        int written;
    } cases[] = {
        {"0A0B0C", 3, S_OK, 3},
        {"0A0B0C", 2, S_OK, 2},  // the bound stops it
        {"0A0G", 2, MAPI_E_CALL_FAILED, 1},
        {"0A0", 2, MAPI_E_CALL_FAILED, 1},  // an odd last digit
        {"", 2, S_OK, 0},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        BYTE out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        std::string input = cases[i].text;
        EXPECT_EQ(ScBinFromHexBounded(input.data(), out, cases[i].bound), cases[i].expected) << "case " << i;
        EXPECT_EQ(out[cases[i].written], 0xEE) << "case " << i << ": nothing past what was decoded";
    }
}

}  // namespace
