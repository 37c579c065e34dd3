#include "engine/layout/font_cache.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "base/gdi_selection.h"
#include "base/heap_bytes.h"
#include "base/utf8.h"

namespace halyx::engine {
namespace {

constexpr wchar_t kDefaultFace[] = L"Tahoma";

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

int CALLBACK FoundFace(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM param) {
  *reinterpret_cast<bool*>(param) = true;
  return 0;
}

}  // namespace

FontCache::FontCache() : dc_(::CreateCompatibleDC(nullptr)) {}

bool FontCache::Installed(const std::wstring& face) {
  const auto found = installed_.find(face);
  if (found != installed_.end()) return found->second;
  LOGFONTW query{};
  query.lfCharSet = DEFAULT_CHARSET;
  wcsncpy_s(query.lfFaceName, face.c_str(), _TRUNCATE);
  bool present = false;
  ::EnumFontFamiliesExW(dc_.get(), &query, &FoundFace, reinterpret_cast<LPARAM>(&present), 0);
  installed_[face] = present;
  return present;
}

std::wstring FontCache::ResolveFamily(const std::string& list) {
  const auto found = families_.find(list);
  if (found != families_.end()) return found->second;
  std::wstring chosen;
  std::size_t start = 0;
  while (chosen.empty() && start < list.size()) {
    std::size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    std::string name = list.substr(start, comma - start);
    start = comma + 1;
    name.erase(0, name.find_first_not_of(" \t\"'"));
    name.erase(name.find_last_not_of(" \t\"'") + 1);
    const std::string generic = Lower(name);
    if (generic == "sans-serif" || generic == "system-ui" || generic == "-apple-system" || generic == "ui-sans-serif") {
      for (const wchar_t* face : {L"Segoe UI", L"Liberation Sans", L"DejaVu Sans", L"Arial", kDefaultFace}) {
        if (Installed(face)) {
          chosen = face;
          break;
        }
      }
    } else if (generic == "serif") {
      for (const wchar_t* face : {L"Times New Roman", L"Liberation Serif", L"DejaVu Serif"}) {
        if (Installed(face)) {
          chosen = face;
          break;
        }
      }
    } else if (generic == "monospace" || generic == "ui-monospace") {
      for (const wchar_t* face : {L"Consolas", L"Liberation Mono", L"DejaVu Sans Mono", L"Courier New"}) {
        if (Installed(face)) {
          chosen = face;
          break;
        }
      }
    } else if (!name.empty() && name.size() < LF_FACESIZE && Installed(Utf8ToWide(name))) {
      chosen = Utf8ToWide(name);
    }
  }
  if (chosen.empty()) chosen = kDefaultFace;
  if (families_.size() > 256) families_.clear();
  families_[list] = chosen;
  return chosen;
}

FontCache::Font& FontCache::Get(const ComputedStyle& style, float scale) {
  const std::wstring face = ResolveFamily(style.font_family);
  // The page's size is held to 1..256 px first, so a scaled font stays
  // within the same bound times the largest scale a display has.
  const float css = static_cast<float>(std::clamp(static_cast<int>(std::lround(style.font_size)), 1, 256));
  const int size = std::clamp(static_cast<int>(std::lround(css * std::clamp(scale, 0.25f, 8.0f))), 1, 2048);
  const auto key = std::make_tuple(face, size, style.font_weight, style.italic);
  auto found = fonts_.find(key);
  if (found != fonts_.end()) return *found->second;
  if (fonts_.size() >= kMaxFonts) {
    if (!fallback_) fallback_ = Make(face, 16, FW_NORMAL, false);
    return *fallback_;
  }
  Font& result = *fonts_.emplace(key, Make(face, size, style.font_weight, style.italic)).first->second;
  return result;
}

void FontCache::Trim() {
  if (fonts_.size() >= kMaxFonts) fonts_.clear();
}

std::unique_ptr<FontCache::Font> FontCache::Make(const std::wstring& face, int size, int weight, bool italic) {
  auto font = std::make_unique<Font>();
  LOGFONTW description{};
  description.lfHeight = -size;
  description.lfWeight = weight;
  description.lfItalic = italic ? TRUE : FALSE;
  description.lfCharSet = DEFAULT_CHARSET;
  description.lfQuality = ANTIALIASED_QUALITY;
  wcsncpy_s(description.lfFaceName, face.c_str(), _TRUNCATE);
  font->handle.reset(::CreateFontIndirectW(&description));
  TEXTMETRICW metrics{};
  {
    GdiSelection selected(dc_.get(), font->handle.get());
    ::GetTextMetricsW(dc_.get(), &metrics);
  }
  font->ascent = metrics.tmAscent;
  font->descent = metrics.tmDescent;
  font->height = std::max(1, static_cast<int>(metrics.tmHeight));
  return font;
}

std::size_t FontCache::word_count() const {
  std::size_t words = 0;
  for (const auto& font : fonts_) words += font.second->widths.size() + font.second->older.size();
  return words;
}

std::size_t FontCache::ApproximateBytes() const {
  std::size_t bytes = 0;
  for (const auto& font : fonts_) {
    bytes += sizeof(Font) + HeapBytesOf(font.second->widths) + HeapBytesOf(font.second->older) +
             HeapBytesOf(font.second->fit_text);
    for (const auto& width : font.second->widths) bytes += HeapBytesOf(width.first);
    for (const auto& width : font.second->older) bytes += HeapBytesOf(width.first);
  }
  return bytes;
}

int FontCache::Measure(Font& font, const std::wstring& text) {
  if (text.empty()) return 0;
  const auto found = font.widths.find(text);
  if (found != font.widths.end()) return found->second;
  const auto old = font.older.find(text);
  if (old != font.older.end()) {
    const int width = old->second;
    // The entry itself moves: no block is freed or made.
    auto entry = font.older.extract(old);
    NewTurnIfFull(font);
    font.widths.insert(std::move(entry));
    return width;
  }
  SIZE extent{};
  {
    GdiSelection selected(dc_.get(), font.handle.get());
    ::GetTextExtentPoint32W(dc_.get(), text.c_str(), static_cast<int>(text.size()), &extent);
  }
  NewTurnIfFull(font);
  font.widths.emplace(text, extent.cx);
  return extent.cx;
}

void FontCache::NewTurnIfFull(Font& font) {
  if (font.widths.size() < kMaxCachedWidths) return;
  // The turn before goes; both tables keep their bucket arrays.
  font.older.swap(font.widths);
  font.widths.clear();
}

void FontCache::PrefixWidths(Font& font, const std::wstring& text, std::vector<int>& ends) {
  ends.assign(text.size(), 0);
  if (text.empty()) return;
  int fit = 0;
  SIZE extent{};
  GdiSelection selected(dc_.get(), font.handle.get());
  ::GetTextExtentExPointW(dc_.get(), text.c_str(), static_cast<int>(text.size()), 0, &fit, ends.data(), &extent);
}

std::size_t FontCache::Fit(Font& font, const std::wstring& text, int width) {
  if (width <= 0 || text.empty()) return 0;
  if (width == font.fit_width && text == font.fit_text) return font.fit_count;
  int fit = 0;
  SIZE extent{};
  GdiSelection selected(dc_.get(), font.handle.get());
  ::GetTextExtentExPointW(dc_.get(), text.c_str(), static_cast<int>(text.size()), width, &fit, nullptr, &extent);
  font.fit_text = text;
  font.fit_width = width;
  font.fit_count = static_cast<std::size_t>(std::max(fit, 0));
  return font.fit_count;
}

}  // namespace halyx::engine
