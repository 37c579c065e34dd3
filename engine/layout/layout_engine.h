// Lays a styled document out into boxes: the border box of every element and
// the runs of text to draw, in view coordinates after scrolling.
//
// Block flow (with sibling margin collapsing), inline formatting with line
// wrapping and text-align, inline-block atoms, flex containers (direction,
// wrap, justify-content, align-items/-self, gap, grow/shrink/basis, auto
// margins), position relative/absolute/fixed, and scroll containers
// (overflow hidden/auto) whose offsets the view keeps.
//
// An img with a decoded picture has its intrinsic size where CSS leaves
// width or height auto (scaled keeping the aspect ratio when one is given);
// without one it is an empty box of its CSS size.
//
// A hostile page cannot make layout run away: the tree is at most
// HtmlDocument::kMaxNesting deep, and the passes that lay an item out a
// second time (flex measuring, stretching) stop once a work budget
// proportional to the node count is spent; the page is then laid out in one
// pass per box, less exactly but in linear time. The passes read at most
// kTextBudget bytes of text together; text past that is not laid out (a page
// that puts megabytes into its nodes shows their start).
//
//   LayoutEngine layout(doc, styles, fonts, scrolls);
//   LayoutResult result = layout.Run(width, height);
//
// Thread: GUI thread; borrows its inputs for one Run.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "engine/style/computed_style.h"
#include "engine/platform/decoded_image.h"
#include "engine/layout/font_cache.h"
#include "engine/dom/html_document.h"

namespace halyx::engine {

struct LayoutBox {
  float x = 0, y = 0, w = 0, h = 0;  // border box
  bool laid = false;
  float content_height = 0;  // of scroll containers: what scrolls
  float client_height = 0;   // and the height it scrolls within
  float scroll_top = 0;      // how far it is scrolled
};

struct TextRun {
  int node = -1;     // the text node (or the form control showing its value)
  int element = -1;  // whose style draws it
  float x = 0, y = 0, w = 0, h = 0;
  int ascent = 0;
  std::wstring text;
  bool placeholder = false;
  int offset = 0;  // of a control's run: where its text starts in the value
};

// A layout coordinate as a whole pixel, truncated. Lengths are bounded but
// their sums are not (a hundred thousand tall boxes in a row), and a float
// past an int's range has no defined conversion, so coordinates are held to
// +-kMaxPixel first (NaN to 0); that is far past any screen either way.
constexpr float kMaxPixel = 1073741824.0f;  // 2^30
inline int PixelOf(float value) {
  if (!(value > -kMaxPixel)) return value != value ? 0 : -static_cast<int>(kMaxPixel);
  if (value > kMaxPixel) return static_cast<int>(kMaxPixel);
  return static_cast<int>(value);
}

// Boxes and runs by node index. A node made after the layout ran, or a
// stale or hostile index, is outside the arrays: readers outside the layout
// go through Box() and RunCount(), which answer "no box" for it.
struct LayoutResult {
  std::vector<LayoutBox> boxes;  // by node index
  std::vector<TextRun> runs;
  std::vector<int> firstRun, runCount;  // by node index
  float document_height = 0;

  // The node's border box; an empty box, never laid, for a node the layout
  // has no entry for.
  const LayoutBox& Box(int node) const;
  // How many runs the node has, the first at runs[FirstRun(node)]; 0 for a
  // node the layout has no entry for.
  int RunCount(int node) const;
  int FirstRun(int node) const { return RunCount(node) > 0 ? firstRun[static_cast<std::size_t>(node)] : 0; }
  // Gives nodes made since the layout ran their (empty) entries, so that the
  // arrays keep the document's size between layouts.
  void Fit(std::size_t nodes);
};

class LayoutEngine {
 public:
  LayoutEngine(const HtmlDocument& doc, const std::vector<ComputedStyle>& styles, FontCache& fonts,
               const std::map<int, float>& scrolls, const DecodedImages* images = nullptr)
      : doc_(doc), styles_(styles), fonts_(fonts), scrolls_(scrolls), images_(images) {}
  LayoutResult Run(float width, float height);

  // The text a form control shows (its value, or the placeholder when
  // empty); false for elements that show their children instead.
  static bool ControlText(const HtmlDocument& doc, int element, std::wstring& text, bool& placeholder);
  // The index into layout.runs of the element's run holding the value's
  // offset (a textarea has one run per line), or -1 when it has none.
  static int RunAt(const LayoutResult& layout, int element, int offset);

 private:
  friend class FlexLayout;
  friend class InlineLayout;

  struct Edges {
    float margin[4], border[4], padding[4];
    bool auto_margin[4];
    float horizontal() const { return border[1] + border[3] + padding[1] + padding[3]; }
    float vertical() const { return border[0] + border[2] + padding[0] + padding[2]; }
  };
  struct Intrinsic {
    float min = 0, max = 0;  // margin box widths
  };
  struct Absolute {
    int element;
    float static_x, static_y;
  };

  const ComputedStyle& Style(int element) const { return styles_[static_cast<std::size_t>(element)]; }
  Edges EdgesOf(int element, float cb_width) const;
  bool InFlow(int node) const;
  bool IsAtom(int element) const;
  bool IsBlockLevel(int element) const;

  // Lays `element` out with its margin box's top left at (x, y) inside a
  // containing block `cb_width` wide (and `cb_height` tall, or -1). A forced
  // size (>= 0) is the border box size a flex container decided.
  void LayoutBlock(int element, float x, float y, float cb_width, float cb_height, float forced_width,
                   float forced_height);
  // The text a form control shows, as runs in its content box; answers the
  // content height.
  float LayoutControl(int element, const std::wstring& text, bool placeholder, float content_x, float content_y,
                      float content_w, float content_h_known);
  // A scroll container's scrollable height, and its children moved by its
  // scroll offset (held within what scrolls).
  void ScrollContent(int element, const Edges& e, float content_y, float content_h);
  // Out of flow: a relatively positioned box moved by its offsets, after
  // its flow is laid out.
  void OffsetRelative(int element, float cb_width, float cb_height);
  // Normal flow of the element's children; answers the content height.
  float LayoutFlow(int element, float x, float y, float width);
  float LayoutFlex(int element, float x, float y, float width, float height);
  float LayoutInline(int container, const std::vector<int>& nodes, float x, float y, float width);
  void LayoutAbsolute(const Absolute& item, float cb_x, float cb_y, float cb_width, float cb_height);
  Intrinsic IntrinsicWidths(int element);
  void InlineIntrinsic(int node, float& line, Intrinsic& out);
  void Shift(int node, float dx, float dy);
  void AddRun(TextRun run);
  float MarginBoxHeight(int element) const;
  float MarginBoxWidth(int element) const;
  // The border box width of a shrink-to-fit element given the room.
  float ShrinkToFit(int element, float available);
  bool Spend() { return --budget_ > 0; }
  // The text of a text node, as far as the layout's text budget reached at
  // its first reading:
  // every pass that measures or places text reads it again, so one node of
  // megabytes would hold the GUI thread for seconds on every layout.
  std::wstring TextOf(int node);
  // The picture an img element shows, or null.
  const DecodedImage* ImageOf(int element) const;
  // The content width of an img whose CSS width is auto: its own, or scaled
  // to a given height keeping its aspect ratio; false without a picture.
  bool ImageWidth(int element, float& width) const;

  const HtmlDocument& doc_;
  const std::vector<ComputedStyle>& styles_;
  FontCache& fonts_;
  const std::map<int, float>& scrolls_;
  const DecodedImages* images_;
  LayoutResult result_;
  std::vector<Intrinsic> intrinsic_;
  std::vector<char> intrinsicDone_;
  std::vector<std::vector<Absolute>> absolutes_;  // per positioned ancestor being laid out
  std::vector<Absolute> fixed_;
  float viewWidth_ = 0, viewHeight_ = 0;
  long long budget_ = 0;
  static constexpr std::size_t kTextBudget = std::size_t{1} << 20;  // UTF-8 bytes read per Run
  std::size_t textBudget_ = 0;
  static constexpr std::size_t kTextNotRead = static_cast<std::size_t>(-1);
  std::vector<std::size_t> textTaken_;  // per node: bytes of its text laid out
};

}  // namespace halyx::engine
