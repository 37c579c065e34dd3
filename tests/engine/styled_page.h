// A page parsed, styled and laid out by the engine's core alone, without a
// view, a window, script or the DLL: what the table tests of the style and
// layout layers build their cases on.
//
//   StyledPage page("<style>p{color:red}</style><p id=a>x</p>");
//   EXPECT_EQ(page.Style("#a").color.r, 255);
//   EXPECT_EQ(page.Box("#a").w, 640);
//
// Thread: the test's thread.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "engine/dom/html_document.h"
#include "engine/layout/font_cache.h"
#include "engine/layout/layout_engine.h"
#include "engine/style/computed_style.h"
#include "engine/style/selector_matcher.h"
#include "engine/style/style_resolver.h"

namespace halyx::testing {

class StyledPage {
 public:
  // Parses `html`, styles it with its <style> blocks (in the given
  // interaction state) and lays it out in a view `width` x `height`.
  explicit StyledPage(const std::string& html, const engine::InteractionState& state = {}, float width = 640,
                      float height = 480);
  StyledPage(const StyledPage&) = delete;
  StyledPage& operator=(const StyledPage&) = delete;

  const engine::HtmlDocument& document() const { return document_; }
  // The first element the selector matches, or -1.
  int Find(const std::string& selector) const;
  // Every element the selector matches, in document order.
  std::vector<int> FindAll(const std::string& selector) const;
  // The computed style of the first match (the initial style for none).
  const engine::ComputedStyle& Style(const std::string& selector) const;
  // The border box of the first match, rounded to whole pixels as the
  // view's queries give it; all zeros for none.
  struct Rect {
    int x = 0, y = 0, w = 0, h = 0;
  };
  Rect Box(const std::string& selector) const;
  const engine::LayoutResult& layout() const { return layout_; }
  // Every node's computed style, by node index.
  const std::vector<engine::ComputedStyle>& styles() const { return computed_; }

 private:
  engine::HtmlDocument document_;
  engine::InteractionState state_;
  engine::StyleResolver styles_;
  engine::FontCache fonts_;
  std::vector<engine::ComputedStyle> computed_;
  std::map<int, float> scrolls_;
  engine::LayoutResult layout_;
  engine::ComputedStyle initial_;
};

}  // namespace halyx::testing
