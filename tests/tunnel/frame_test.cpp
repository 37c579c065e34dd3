// Incoming frames are taken whole, one at a time, however the bytes arrive;
// the length is four little-endian bytes counting the payload only.
#include "tunnel/frame.h"

#include <gtest/gtest.h>

namespace halyx {
namespace {

TEST(Frame, FramesAreTakenOnlyWhenWholeAndOneAtATime) {
  const auto frame = BuildFrame("first");
  std::vector<uint8_t> buffer;
  std::string payload;
  for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
    buffer.push_back(frame[i]);
    ASSERT_FALSE(TakeFrame(buffer, payload)) << "after " << i + 1 << " bytes";
  }
  for (const auto& more :
       {std::vector<uint8_t>{frame.back()}, BuildFrame(""), BuildFrame("third"), std::vector<uint8_t>{0x09}}) {
    buffer.insert(buffer.end(), more.begin(), more.end());
  }
  for (const char* expected : {"first", "", "third"}) {
    ASSERT_TRUE(TakeFrame(buffer, payload));
    EXPECT_EQ(payload, expected);
  }
  EXPECT_FALSE(TakeFrame(buffer, payload));
  EXPECT_EQ(buffer, std::vector<uint8_t>{0x09});
}

TEST(Frame, HugeLengthWaitsForMoreWithoutOverflow) {
  std::vector<uint8_t> buffer{0xFF, 0xFF, 0xFF, 0xFF, 'x', 'y'};
  std::string payload = "kept";
  EXPECT_FALSE(TakeFrame(buffer, payload));
  EXPECT_EQ(buffer.size(), 6u);
  EXPECT_EQ(payload, "kept");
}

TEST(Frame, LengthIsLittleEndianAndCountsThePayloadOnly) {
  const auto frame = BuildFrame(std::string(65532, 'a'));
  ASSERT_EQ(frame.size(), kMaxOutgoingFrame);
  EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.begin() + 4), (std::vector<uint8_t>{0xFC, 0xFF, 0, 0}));
}

}  // namespace
}  // namespace halyx
