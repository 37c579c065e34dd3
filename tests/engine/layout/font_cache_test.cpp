#include "engine/layout/font_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

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

// A page that shows ever new text (a list of rows with growing numbers,
// replaced for weeks) keeps a bounded cache of widths per font, and the
// words it shows on every pass keep their right widths throughout.
TEST(EngineFontCache, EndlessNewWordsKeepABoundedCacheOfWidths) {
  engine::FontCache fonts;
  engine::FontCache::Font& font = fonts.Get(Styled(13, 400));
  const int connect = fonts.Measure(font, L"Connect");
  const int wide = fonts.Measure(font, L"WWWWWWWWWWWWWWWWWWWW");
  ASSERT_GT(connect, 0);
  ASSERT_GT(wide, connect);
  std::size_t most_words = 0, most_bytes = 0;
  for (int row = 1; row <= 30000; ++row) {
    ASSERT_GT(fonts.Measure(font, L"server" + std::to_wstring(row)), 0);
    if (row % 97 == 0) {
      EXPECT_EQ(fonts.Measure(font, L"Connect"), connect) << "after " << row << " new words";
      EXPECT_EQ(fonts.Measure(font, L"WWWWWWWWWWWWWWWWWWWW"), wide) << "after " << row << " new words";
      most_words = std::max(most_words, fonts.word_count());
      most_bytes = std::max(most_bytes, fonts.ApproximateBytes());
    }
  }
  // Two turns of 1,024 strings, each a node, its bucket and a short key.
  EXPECT_LE(most_words, 2048u);
  EXPECT_LT(most_bytes, 192u * 1024u);
}

}  // namespace
}  // namespace halyx::testing
