#include "engine/style/css_parser.h"

#include <algorithm>
#include <cctype>

namespace halyx::engine {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }

std::string Trim(const std::string& text) {
  std::size_t start = 0;
  std::size_t end = text.size();
  while (start < end && IsSpace(text[start])) ++start;
  while (end > start && IsSpace(text[end - 1])) --end;
  return text.substr(start, end - start);
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool IsNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || static_cast<unsigned char>(c) >= 0x80;
}

std::string StripComments(const std::string& css) {
  std::string out;
  out.reserve(css.size());
  for (std::size_t i = 0; i < css.size(); ++i) {
    if (css[i] == '/' && i + 1 < css.size() && css[i + 1] == '*') {
      const std::size_t end = css.find("*/", i + 2);
      if (end == std::string::npos) break;
      i = end + 1;
      out += ' ';
      continue;
    }
    out += css[i];
  }
  return out;
}

// The index of the '}' that closes the block opening at `open`, or npos.
std::size_t MatchingBrace(const std::string& css, std::size_t open) {
  int depth = 0;
  for (std::size_t i = open; i < css.size(); ++i) {
    if (css[i] == '{') ++depth;
    if (css[i] == '}' && --depth == 0) return i;
  }
  return std::string::npos;
}

}  // namespace

bool CssParser::ParseSelector(const std::string& text, Selector& out) {
  out = Selector{};
  CompoundSelector current;
  bool has_current = false;
  char pending = 0;
  unsigned ids = 0, classes = 0, types = 0;
  std::size_t i = 0;
  const std::size_t n = text.size();
  auto read_name = [&]() {
    const std::size_t start = i;
    while (i < n && IsNameChar(text[i])) ++i;
    return text.substr(start, i - start);
  };
  auto finish = [&]() {
    if (!has_current) return true;
    current.combinator = out.parts.empty() ? 0 : (pending == 0 ? ' ' : pending);
    out.pseudo |= current.pseudo;
    out.parts.push_back(std::move(current));
    current = CompoundSelector{};
    has_current = false;
    pending = 0;
    return out.parts.size() <= kMaxCompounds;
  };
  while (i < n) {
    const char c = text[i];
    if (IsSpace(c)) {
      if (!finish()) return false;
      ++i;
      continue;
    }
    if (c == '>') {
      if (!finish() || out.parts.empty()) return false;
      pending = '>';
      ++i;
      continue;
    }
    if (c == '*') {
      if (has_current) return false;
      has_current = true;
      current.tag = "*";
      ++i;
      continue;
    }
    if (c == '#' || c == '.') {
      ++i;
      const std::string name = read_name();
      if (name.empty()) return false;
      has_current = true;
      if (c == '#') {
        current.id = name;
        ++ids;
      } else {
        current.classes.push_back(name);
        ++classes;
      }
      continue;
    }
    if (c == ':') {
      ++i;
      const std::string name = Lower(read_name());
      static const std::pair<const char*, PseudoClass> kPseudo[] = {
          {"hover", kPseudoHover},         {"active", kPseudoActive},   {"focus", kPseudoFocus},
          {"disabled", kPseudoDisabled},   {"checked", kPseudoChecked}, {"first-child", kPseudoFirstChild},
          {"last-child", kPseudoLastChild}};
      bool known = false;
      for (const auto& [pseudo_name, flag] : kPseudo) {
        if (name == pseudo_name) {
          current.pseudo |= flag;
          known = true;
        }
      }
      if (!known) return false;
      has_current = true;
      ++classes;
      continue;
    }
    if (c == '[') {
      const std::size_t end = text.find(']', i);
      if (end == std::string::npos) return false;
      const std::string inside = text.substr(i + 1, end - i - 1);
      const std::size_t eq = inside.find('=');
      std::string name = Lower(Trim(inside.substr(0, eq)));
      std::string value = eq == std::string::npos ? std::string() : Trim(inside.substr(eq + 1));
      if (name.empty() || (eq != std::string::npos && !name.empty() && !IsNameChar(name.back()))) return false;
      if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'')) value = value.substr(1, value.size() - 2);
      current.attributes.emplace_back(std::move(name), eq == std::string::npos ? std::string("\x01") : value);
      has_current = true;
      ++classes;
      i = end + 1;
      continue;
    }
    if (IsNameChar(c)) {
      if (has_current) return false;
      current.tag = Lower(read_name());
      has_current = true;
      ++types;
      continue;
    }
    return false;  // +, ~, pseudo-elements and the like: not matched here
  }
  if (!finish() || out.parts.empty() || pending != 0) return false;
  out.specificity = std::min(ids, 255u) << 16 | std::min(classes, 255u) << 8 | std::min(types, 255u);
  return true;
}

bool CssParser::ParseSelectors(const std::string& text, std::vector<Selector>& out) {
  out.clear();
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    Selector selector;
    if (!ParseSelector(Trim(text.substr(start, comma - start)), selector)) return false;
    out.push_back(std::move(selector));
    start = comma + 1;
  }
  return !out.empty();
}

std::vector<Declaration> CssParser::ParseDeclarations(const std::string& text) {
  std::vector<Declaration> out;
  std::size_t start = 0;
  while (start < text.size()) {
    // A ';' inside parentheses (a data URL) does not end the declaration.
    std::size_t end = start;
    int parens = 0;
    while (end < text.size() && (text[end] != ';' || parens > 0)) {
      if (text[end] == '(') ++parens;
      if (text[end] == ')' && parens > 0) --parens;
      ++end;
    }
    const std::string item = text.substr(start, end - start);
    start = end + 1;
    const std::size_t colon = item.find(':');
    if (colon == std::string::npos) continue;
    Declaration declaration;
    declaration.property = Lower(Trim(item.substr(0, colon)));
    declaration.value = Trim(item.substr(colon + 1));
    const std::size_t bang = declaration.value.find('!');
    if (bang != std::string::npos) {
      declaration.important = Lower(Trim(declaration.value.substr(bang + 1))) == "important";
      declaration.value = Trim(declaration.value.substr(0, bang));
    }
    if (declaration.property.empty() || declaration.value.empty()) continue;
    out.push_back(std::move(declaration));
  }
  return out;
}

StyleSheet CssParser::ParseSheet(const std::string& input) {
  StyleSheet sheet;
  ParseRules(StripComments(input.size() > kMaxSheetBytes ? input.substr(0, kMaxSheetBytes) : input), sheet, false);
  return sheet;
}

void CssParser::ParseRules(const std::string& css, StyleSheet& sheet, bool nested) {
  std::size_t i = 0;
  while (i < css.size() && sheet.rules.size() < kMaxRules) {
    const std::size_t open = css.find('{', i);
    if (open == std::string::npos) break;
    // A statement at-rule (@import, @charset, @namespace) has no block: it
    // ends at its semicolon, and the next rule starts after it.
    const std::size_t start = css.find_first_not_of(" \t\r\n\f", i);
    if (start < open && css[start] == '@') {
      const std::size_t semicolon = css.find(';', start);
      if (semicolon < open) {
        i = semicolon + 1;
        continue;
      }
    }
    const std::string prelude = Trim(css.substr(i, open - i));
    const std::size_t close = MatchingBrace(css, open);
    const std::size_t body_end = close == std::string::npos ? css.size() : close;
    i = body_end + 1;
    if (!prelude.empty() && prelude[0] == '@') {
      // @media and friends: their rules apply to this one screen as well.
      // One level only: nested at-rules are skipped, so a hostile sheet
      // cannot recurse the parser deep.
      if (!nested && Lower(prelude.substr(0, 6)) == "@media") {
        ParseRules(css.substr(open + 1, body_end - open - 1), sheet, true);
      }
      continue;
    }
    StyleRule rule;
    if (!ParseSelectors(prelude, rule.selectors)) continue;
    rule.declarations = ParseDeclarations(css.substr(open + 1, body_end - open - 1));
    if (!rule.declarations.empty()) sheet.rules.push_back(std::move(rule));
  }
}

}  // namespace halyx::engine
