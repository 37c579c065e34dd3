// Incoming frames are taken whole, one at a time, however the bytes arrive.
#include "tunnel/frame.h"

#include <gtest/gtest.h>

namespace halyx {
namespace {

void Append(std::vector<uint8_t>& buffer, const std::vector<uint8_t>& bytes) {
  buffer.insert(buffer.end(), bytes.begin(), bytes.end());
}

TEST(Frame, SplitFrameIsTakenWhenItsLastByteArrives) {
  const auto frame = BuildFrame(R"({"type":"StopTunnel","result":0})");
  std::vector<uint8_t> buffer;
  std::string payload;
  for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
    buffer.push_back(frame[i]);
    ASSERT_FALSE(TakeFrame(buffer, payload)) << "after " << i + 1 << " bytes";
    ASSERT_EQ(buffer.size(), i + 1);
  }
  buffer.push_back(frame.back());
  ASSERT_TRUE(TakeFrame(buffer, payload));
  EXPECT_EQ(payload, R"({"type":"StopTunnel","result":0})");
  EXPECT_TRUE(buffer.empty());
}

TEST(Frame, BackToBackFramesComeOutOneAtATime) {
  std::vector<uint8_t> buffer;
  Append(buffer, BuildFrame("first"));
  Append(buffer, BuildFrame(""));
  Append(buffer, BuildFrame("third"));
  buffer.push_back(0x09);  // the start of a fourth frame's header

  std::string payload;
  ASSERT_TRUE(TakeFrame(buffer, payload));
  EXPECT_EQ(payload, "first");
  ASSERT_TRUE(TakeFrame(buffer, payload));
  EXPECT_EQ(payload, "");  // a zero length carries an empty payload
  ASSERT_TRUE(TakeFrame(buffer, payload));
  EXPECT_EQ(payload, "third");
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
  const std::string payload(65532, 'a');
  const auto frame = BuildFrame(payload);
  ASSERT_EQ(frame.size(), kMaxOutgoingFrame);
  EXPECT_EQ(frame[0], 0xFC);
  EXPECT_EQ(frame[1], 0xFF);
  EXPECT_EQ(frame[2], 0x00);
  EXPECT_EQ(frame[3], 0x00);
}

}  // namespace
}  // namespace halyx
