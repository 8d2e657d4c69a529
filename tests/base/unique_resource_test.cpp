#include <gtest/gtest.h>

#include "base/unique_resource.h"

namespace {

TEST(UniqueHandle, ResetKeepsLastErrorAndClosesOnce) {
    base::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event.valid());
    const HANDLE raw = event.get();
    SetLastError(0xdeadbeef);
    event.reset();
    EXPECT_EQ(GetLastError(), 0xdeadbeefu) << "got 0x" << std::hex << GetLastError();
    EXPECT_FALSE(event.valid());
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CloseHandle(raw)) << "the handle was not closed by reset";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(UniqueHandle, MoveTransfersOwnership) {
    base::UniqueHandle a(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const HANDLE raw = a.get();
    base::UniqueHandle b(std::move(a));
    EXPECT_FALSE(a.valid());
    EXPECT_EQ(b.get(), raw);
    base::UniqueHandle c;
    c = std::move(b);
    EXPECT_EQ(c.get(), raw);
    EXPECT_EQ(WaitForSingleObject(c.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(UniqueFile, InvalidHandleValueIsEmpty) {
    base::UniqueFile file(CreateFileW(L"C:\\no\\such\\folder\\file", GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(file.valid());
    EXPECT_EQ(file.get(), INVALID_HANDLE_VALUE);
}

}  // namespace
