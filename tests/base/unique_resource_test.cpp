// The handle owners: one close, by the owner that holds the handle last, which keeps
// the caller's last error; INVALID_HANDLE_VALUE is a file owner's empty value.
#include <gtest/gtest.h>

#include "base/unique_resource.h"

namespace {

TEST(UniqueHandle, MovesClosesOnceAndKeepsLastError) {
    base::UniqueHandle first(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(first.valid());
    const HANDLE raw = first.get();
    base::UniqueHandle second(std::move(first));
    base::UniqueHandle last;
    last = std::move(second);
    EXPECT_FALSE(first.valid() || second.valid()) << "a moved-from owner still holds the handle";
    EXPECT_EQ(last.get(), raw);
    SetLastError(0xdeadbeef);
    last.reset();
    EXPECT_EQ(GetLastError(), 0xdeadbeefu) << "got 0x" << std::hex << GetLastError();
    EXPECT_FALSE(last.valid());
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CloseHandle(raw)) << "the handle was not closed by reset";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    const base::UniqueFile missing(
        CreateFileW(L"C:\\no\\such\\folder\\file", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(missing.valid());
}

}  // namespace
