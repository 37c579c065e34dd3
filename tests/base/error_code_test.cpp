// Error codes print with the sign of their kind, whatever type the caller holds.
#include "base/error_code.h"

#include <gtest/gtest.h>

namespace halyx {
namespace {

TEST(ErrorCode, Win32AndCngCodesPrintUnsigned) {
  EXPECT_EQ(fmt::format("({:#x})", Win32Code(ERROR_SHARING_VIOLATION)), "(0x20)");
  EXPECT_EQ(fmt::format("{:#x}", CngStatus(static_cast<LONG>(0xC000000D))), "0xc000000d");
  ::SetLastError(0x80070005);
  EXPECT_EQ(fmt::format("{:#x}", LastError()), "0x80070005");
}

TEST(ErrorCode, HResultAndSocketErrorsPrintSigned) {
  EXPECT_EQ(fmt::format("({:#x})", HResult(E_ACCESSDENIED)), "(-0x7ff8fffb)");
  EXPECT_EQ(fmt::format("{:#x}", HResult(S_FALSE)), "0x1");
  EXPECT_EQ(fmt::format("{:#x}", SignedErrorCode(-4071)), "-0xfe7");  // libuv's ETIMEDOUT
}

TEST(ErrorCode, PreserveLastErrorSurvivesCallsThatResetIt) {
  ::SetLastError(ERROR_PIPE_BUSY);
  {
    PreserveLastError keep;
    ::SetLastError(ERROR_SUCCESS);
    ::CloseHandle(nullptr);  // fails and sets its own error
    EXPECT_EQ(keep.error(), static_cast<DWORD>(ERROR_PIPE_BUSY));
  }
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));
}

}  // namespace
}  // namespace halyx
