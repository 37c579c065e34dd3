// Handle owners close exactly once and never disturb the caller's last error.
#include "base/unique_handle.h"

#include <gtest/gtest.h>

namespace halyx {
namespace {

bool IsOpenHandle(HANDLE h) {
  DWORD flags = 0;
  return ::GetHandleInformation(h, &flags) != FALSE;
}

TEST(UniqueHandle, EmptyValuesAreNeverValid) {
  EXPECT_FALSE(EventHandle().valid());
  EXPECT_EQ(EventHandle().get(), nullptr);
  EXPECT_EQ(FileHandle().get(), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(FileHandle(nullptr).valid());
  EXPECT_FALSE(EventHandle(INVALID_HANDLE_VALUE).valid());
}

TEST(UniqueHandle, ResetClosesOnceAndKeepsTheLastError) {
  HANDLE raw = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(raw, nullptr);
  EventHandle event(raw);
  ::SetLastError(ERROR_PIPE_BUSY);
  event.reset();
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));
  EXPECT_FALSE(IsOpenHandle(raw));
  EXPECT_FALSE(event.valid());
  event.reset();  // nothing left to close
}

TEST(UniqueHandle, MovesOwnershipAndReleaseGivesItUp) {
  EventHandle first(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const HANDLE raw = first.get();
  EventHandle second(std::move(first));
  EXPECT_FALSE(first.valid());
  EXPECT_EQ(second.get(), raw);

  EventHandle third(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const HANDLE replaced = third.get();
  third = std::move(second);  // closes what `third` held
  EXPECT_FALSE(IsOpenHandle(replaced));
  EXPECT_EQ(third.get(), raw);

  const HANDLE released = third.release();
  EXPECT_FALSE(third.valid());
  EXPECT_TRUE(IsOpenHandle(released));
  ::CloseHandle(released);
}

}  // namespace
}  // namespace halyx
