#include "engine/layout/font_cache.h"

#include <gtest/gtest.h>

namespace halyx::testing {
namespace {

engine::ComputedStyle Styled(int size, int weight) {
  engine::ComputedStyle style;
  style.font_family = "Tahoma";
  style.font_size = static_cast<float>(size);
  style.font_weight = weight;
  return style;
}

// A page that styles text in endless sizes and weights holds a bounded
// number of GDI fonts: past the bound new styles share one fallback font
// that still measures text, and the next layout pass starts the cache over,
// so styles in use get their own fonts again.
TEST(EngineFontCache, EndlessStylesHoldABoundedNumberOfFonts) {
  engine::FontCache fonts;
  const HGDIOBJ first = fonts.Get(Styled(12, 400)).handle.get();
  int made = 0;
  for (int weight = 100; weight <= 900 && made < 3 * static_cast<int>(engine::FontCache::kMaxFonts); ++weight) {
    for (int size = 8; size <= 40; size += 8, ++made) {
      engine::FontCache::Font& font = fonts.Get(Styled(size, weight));
      ASSERT_NE(font.handle.get(), nullptr);
      EXPECT_GT(fonts.Measure(font, L"Hong Kong"), 0);
    }
  }
  EXPECT_EQ(fonts.font_count(), engine::FontCache::kMaxFonts);
  // Styles made before the bound keep their fonts until the pass ends.
  EXPECT_EQ(fonts.Get(Styled(12, 400)).handle.get(), first);

  fonts.Trim();
  EXPECT_EQ(fonts.font_count(), 0u);
  const engine::FontCache::Font& large = fonts.Get(Styled(40, 700));
  EXPECT_GE(large.height, 40);
  EXPECT_EQ(fonts.font_count(), 1u);
  // Below the bound a pass keeps what it has.
  fonts.Trim();
  EXPECT_EQ(fonts.font_count(), 1u);
}

}  // namespace
}  // namespace halyx::testing
