#include <gtest/gtest.h>

#include <windows.h>
#include <mapicode.h>
#include <mapix.h>

#include <cstring>

extern "C" {
LPMALLOC WINAPI MAPIGetDefaultMalloc();
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

}  // namespace
