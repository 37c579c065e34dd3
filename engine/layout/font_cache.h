// The fonts a page's text uses: one GDI font per family, size, weight and
// style, its metrics, and the widths of the strings measured with it.
//
// A CSS family list is resolved to the first family installed; the generic
// names map to system faces, and a page that names none installed gets the
// default face. Measurements are cached per font, since layout measures the
// same words on every pass. The cache is two turns of at most
// kMaxCachedWidths strings: a string measured again in the next turn moves
// into it, so a page's words stay while it shows them, and text a page
// shows once (a list that writes ever new numbers) is gone two turns later.
// A cache emptied only once it held 20,000 one-off strings kept its blocks
// scattered among the page's short-lived ones, and the process heap
// (Wine's heap under msvcrt) grew by a MiB for every few tens of thousands
// of new words, for as long as the page showed them.
//
// Each font is a GDI object, and a process has about ten thousand: a page
// that styles text in endless sizes and weights would otherwise take them
// all, and with them every window of the program. At kMaxFonts the cache
// answers new styles with one fallback font until Trim, which layout calls
// at the start of each pass (when no Font& is held), empties it.
//
// Thread: GUI thread; owned by its view. The fonts live as long as the cache.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "base/unique_handle.h"
#include "engine/style/computed_style.h"

namespace halyx::engine {

class FontCache {
 public:
  struct Font {
    FontHandle handle;
    int ascent = 0;
    int descent = 0;
    int height = 0;
    std::unordered_map<std::wstring, int> widths;  // this turn's
    std::unordered_map<std::wstring, int> older;   // the turn before
    // The last Fit: layout asks the same again on every pass and every
    // layout, and for one huge word GDI's answer costs milliseconds.
    std::wstring fit_text;
    int fit_width = -1;
    std::size_t fit_count = 0;
  };

  static constexpr std::size_t kMaxFonts = 256;
  // Strings a font keeps the widths of in one turn (two turns at most).
  static constexpr std::size_t kMaxCachedWidths = 1024;

  FontCache();
  FontCache(const FontCache&) = delete;
  FontCache& operator=(const FontCache&) = delete;

  // The style's font; `scale` > 1 gives it at that many device pixels per
  // CSS pixel, for painting at a display's DPI (layout measures at 1).
  Font& Get(const ComputedStyle& style, float scale = 1.0f);
  // Drops every font once the cache is full; invalidates each Font& given.
  void Trim();
  std::size_t font_count() const { return fonts_.size(); }
  // Strings whose widths the fonts keep, and the heap they take.
  std::size_t word_count() const;
  std::size_t ApproximateBytes() const;
  int Measure(Font& font, const std::wstring& text);
  // The width of every prefix of `text` (ends[i]: its first i + 1 units),
  // as layout measures them.
  void PrefixWidths(Font& font, const std::wstring& text, std::vector<int>& ends);
  // The number of leading characters of `text` that fit in `width`.
  std::size_t Fit(Font& font, const std::wstring& text, int width);

 private:
  std::wstring ResolveFamily(const std::string& list);
  bool Installed(const std::wstring& face);
  std::unique_ptr<Font> Make(const std::wstring& face, int size, int weight, bool italic);
  // Starts a new turn of the font's widths once this one is full.
  static void NewTurnIfFull(Font& font);

  MemoryDcHandle dc_;
  std::map<std::tuple<std::wstring, int, int, bool>, std::unique_ptr<Font>> fonts_;
  std::unique_ptr<Font> fallback_;
  std::map<std::string, std::wstring> families_;
  std::map<std::wstring, bool> installed_;
};

}  // namespace halyx::engine
