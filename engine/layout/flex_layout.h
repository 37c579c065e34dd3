// One flex container's items: their hypothetical sizes, the lines they wrap
// into, the flexible lengths and justification along the main axis, and the
// alignment (or stretching) across it. Text directly in the container is an
// item of its own; absolute and fixed children go to their containing block.
//
//   const float height = FlexLayout(engine, element, x, y, width, height).Run();
//
// Thread: GUI thread; a part of one LayoutEngine::Run, which it works on (it
// is a friend of the engine).
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "engine/layout/layout_engine.h"

namespace halyx::engine {

class FlexLayout {
 public:
  // The container's content box at (x, y), `width` wide and `height` tall
  // (-1: as tall as its content).
  FlexLayout(LayoutEngine& engine, int element, float x, float y, float width, float height);
  FlexLayout(const FlexLayout&) = delete;
  FlexLayout& operator=(const FlexLayout&) = delete;

  // Lays the items out; answers the content height.
  float Run();

 private:
  struct Item {
    int element;
    float base = 0;  // border box main size, hypothetical
    float size = 0;  // border box main size, final
    float min = 0, max = 1e9f;
    float margin_before = 0, margin_after = 0;  // main axis
    float cross_before = 0, cross_after = 0;
    bool auto_before = false, auto_after = false;
    float cross = 0;  // border box cross size
  };

  // A text child as an item, measured by its inline content.
  void AddText(int child);
  // An element child as an item with its hypothetical main size and limits.
  void AddElement(int child);
  void BreakLines();
  // The line's flexible lengths, and where the free space goes: auto
  // margins, else the justification's lead and gaps.
  void Resolve(std::size_t first, std::size_t last, float& auto_share, float& lead, float& between);
  // Lays each item of the line out at its main size; answers the line's
  // cross size.
  float Place(std::size_t first, std::size_t last, float auto_share, float lead, float between);
  void AlignCross(std::size_t first, std::size_t last, float line_cross);

  LayoutEngine& engine_;
  const int element_;
  const ComputedStyle& style_;  // the container's
  const float x_, y_, width_, height_;
  const bool row_;
  const float main_size_;  // -1: grows with content
  const float main_gap_, cross_gap_;
  const float cross_space_;  // -1 when auto
  std::vector<Item> items_;
  std::vector<std::pair<std::size_t, std::size_t>> lines_;
  float cross_cursor_ = 0;
  float main_extent_ = 0;
};

}  // namespace halyx::engine
