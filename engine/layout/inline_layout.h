// One inline formatting context: the words, atoms (inline blocks, controls),
// forced breaks and inline elements of a block's inline content, broken into
// lines at the container's width, aligned by its text-align, and placed as
// text runs and boxes (an inline element's box spans its fragments).
//
//   InlineLayout lines(engine, container, x, y, width);
//   const float height = lines.Run(nodes);
//
// Thread: GUI thread; a part of one LayoutEngine::Run, which it works on (it
// is a friend of the engine).
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "engine/layout/layout_engine.h"

namespace halyx::engine {

class InlineLayout {
 public:
  InlineLayout(LayoutEngine& engine, int container, float x, float y, float width);
  InlineLayout(const InlineLayout&) = delete;
  InlineLayout& operator=(const InlineLayout&) = delete;

  // Lays `nodes` (the container's inline content) out; answers the height
  // of the lines.
  float Run(const std::vector<int>& nodes);

 private:
  // A word of inline content, an atom (inline-block, control), a forced
  // break, or an inline element's start or end.
  struct Item {
    enum Kind { kWord, kAtom, kBreak, kOpen, kClose } kind = kWord;
    int node = -1;
    int element = -1;  // style owner
    std::wstring text;
    float width = 0;        // without the trailing space
    float space = 0;        // width of the trailing space
    bool can_break = true;  // a line may break after this item
    FontCache::Font* font = nullptr;
  };
  struct Line {
    std::size_t first = 0, last = 0;  // items [first, last)
  };
  struct Extent {
    float left, top, right, bottom;
  };

  // The items of the nodes and their descendants, in order; out-of-flow
  // boxes are handed to their containing block, atoms laid out at the origin.
  void Collect(const std::vector<int>& nodes);
  // The words and spaces of a text node (forced breaks in pre text).
  void AddText(int node);
  void BreakLines();
  // Places a line with its top at `top`; answers its height, or -1 for a
  // line with nothing to show, which takes no room.
  float PlaceLine(const Line& line, float top);
  // The boxes of the inline elements, spanning their fragments.
  void SetExtentBoxes();

  LayoutEngine& engine_;
  const ComputedStyle& style_;  // the container's
  float x_, y_, width_;
  float strut_line_ = 0, strut_lead_ = 0;
  int strut_ascent_ = 0;
  std::vector<Item> items_;
  std::vector<Line> lines_;
  std::map<int, Extent> extents_;
};

}  // namespace halyx::engine
