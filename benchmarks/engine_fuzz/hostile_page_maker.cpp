#include "benchmarks/engine_fuzz/hostile_page_maker.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace halyx::bench {
namespace {

const char* const kTags[] = {"div",       "span",     "p",     "h1",      "a",     "ul",    "ol",    "li",
                             "table",     "tr",       "td",    "button",  "input", "input", "input", "select",
                             "option",    "textarea", "label", "section", "img",   "b",     "br",    "nav",
                             "x-unknown", "title",    "style", "pre",     "main",  "svg",   "form",  "header"};
const char* const kAttributes[] = {"id",       "class",     "style",   "type",        "value",     "tabindex",
                                   "hidden",   "disabled",  "checked", "selected",    "maxlength", "href",
                                   "onclick",  "onkeydown", "onfocus", "onmouseover", "src",       "placeholder",
                                   "data-x-y", "name",      "rel",     "a\"b",        "=",         "on"};
const char* const kEvents[] = {
    "click", "mousedown", "mouseup",     "mousemove", "mouseover",        "mouseout", "mouseenter", "mouseleave",
    "wheel", "scroll",    "keydown",     "keyup",     "keypress",         "input",    "change",     "focus",
    "blur",  "dblclick",  "contextmenu", "load",      "DOMContentLoaded", "x"};
const char* const kInputTypes[] = {"text", "password", "checkbox", "radio", "button", "hidden", "number", "file"};
const char* const kWords[] = {"a", "b", "row", "x", "on", "selected", "c-1", "app"};
const char kProperties[] =
    "display position top right bottom left inset z-index margin margin-left padding padding-top "
    "border border-left border-width border-color border-style border-radius width height min-width "
    "max-width min-height max-height box-sizing overflow overflow-y flex-direction flex-wrap "
    "flex-flow justify-content align-items align-self gap row-gap column-gap flex flex-grow "
    "flex-shrink flex-basis color background background-color background-image opacity box-shadow "
    "visibility font-family font-size font-weight font-style font line-height text-align white-space "
    "text-overflow text-decoration text-transform cursor grid-gap";
const char kKeywords[] =
    "none block inline inline-block flex inline-flex list-item table-cell static relative absolute "
    "fixed sticky auto hidden scroll row column wrap wrap-reverse center stretch baseline "
    "space-between space-evenly flex-start nowrap pre ellipsis underline uppercase bold italic "
    "inherit initial border-box solid dashed transparent serif monospace larger !important to inset";
const char* const kNumbers[] = {"0",   "1",      "-1",         "50",          "100",  "3.5",   "-0",
                                ".5",  "5.",     "+7",         "1e9",         "-1e9", "1e309", "99999999999999999999",
                                "NaN", "0.0001", "2147483648", "-2147483649", "1e-9", "e5"};
const char* const kUnits[] = {"px", "%", "em", "rem", "pt", "vh", "vw", "", "ex", "PX", "deg", "turn"};
const char* const kColors[] = {
    "#abc", "#12345678",        "#gg",         "red",        "rgb(300,-1,2)", "rgba(0,0,0,2)", "rgba(1,2,3,NaN)",
    "rgb(", "rgb(1 2 3 / 50%)", "transparent", "whitesmoke", "hsl(1,2%,3%)"};
const char* const kPseudo[] = {":hover",      ":active",  ":focus",  ":disabled",        ":checked", ":first-child",
                               ":last-child", "::before", ":not(a)", ":nth-child(2n+1)", ":",        "::"};
const char* const kCombinators[] = {" ", ">", " > ", "+", "~", ",", " , "};
const char* const kJunk[] = {"{", "}", ";",  ":",    "(((",  ")", "/*", "*/",   "'",        "\"",       "\\",
                             "<", "&", "\0", "\xff", "\xc3", "@", "!",  "url(", "</style>", "</script>"};

// A word of a list of words separated by spaces.
std::string Word(Random& r, std::string_view list) {
  std::vector<std::string_view> words;
  for (std::size_t at = 0, end; at < list.size(); at = end + 1) {
    end = std::min(list.find(' ', at), list.size());
    words.push_back(list.substr(at, end - at));
  }
  return std::string(words[static_cast<std::size_t>(r.Below(static_cast<int>(words.size())))]);
}

std::string Number(Random& r) { return r.Pick(kNumbers); }

std::string Length(Random& r) { return Number(r) + r.Pick(kUnits); }

// Nested function-like junk: calc and friends, the engine has none of them.
std::string Calc(Random& r, int depth) {
  std::string text = r.Chance(50) ? "calc(" : r.Chance(50) ? "min(" : "var(--x, ";
  text += Length(r) + r.Pick(kCombinators) + (depth > 0 && r.Chance(60) ? Calc(r, depth - 1) : Length(r));
  if (r.Chance(80)) text += ")";
  return text;
}

std::string Gradient(Random& r) {
  std::string text = "linear-gradient(";
  text += r.Chance(50) ? Number(r) + "deg" : "to " + std::string(r.Chance(50) ? "right" : "bottom left");
  for (int stops = r.Below(40); stops > 0; --stops) text += ", " + std::string(r.Pick(kColors)) + " " + Length(r);
  return text + (r.Chance(90) ? ")" : "");
}

std::string CssValue(Random& r) {
  std::string value;
  for (int parts = 1 + r.Below(4); parts > 0; --parts) {
    if (!value.empty()) value += r.Chance(80) ? " " : "/";
    switch (r.Below(9)) {
      case 0:
      case 1:
        value += Length(r);
        break;
      case 2:
        value += Word(r, kKeywords);
        break;
      case 3:
        value += r.Pick(kColors);
        break;
      case 4:
        value += Calc(r, 3);
        break;
      case 5:
        value += Gradient(r);
        break;
      case 6:
        value += r.Pick(kJunk);
        break;
      case 7:
        value += r.Pick(kWords);
        break;
      default:
        value += Number(r);
        break;
    }
  }
  return value;
}

std::string Declarations(Random& r, int count) {
  std::string text;
  for (; count > 0; --count) {
    text += r.Chance(95) ? Word(r, kProperties) : r.Pick(kJunk);
    text += r.Chance(95) ? ": " : " ";
    text += CssValue(r);
    if (r.Chance(10)) text += " !important";
    if (r.Chance(95)) text += "; ";
  }
  return text;
}

std::string Selector(Random& r) {
  std::string text;
  for (int parts = 1 + (r.Chance(5) ? 20 : r.Below(4)); parts > 0; --parts) {
    if (!text.empty()) text += r.Pick(kCombinators);
    switch (r.Below(6)) {
      case 0:
        text += r.Pick(kTags);
        break;
      case 1:
        text += "." + std::string(r.Pick(kWords));
        break;
      case 2:
        text += "#" + std::string(r.Pick(kWords));
        break;
      case 3:
        text += "*";
        break;
      case 4:
        text += "[" + std::string(r.Pick(kAttributes)) + (r.Chance(50) ? "=" + std::string(r.Pick(kWords)) : "") + "]";
        break;
      default:
        text += r.Pick(kJunk);
        break;
    }
    if (r.Chance(30)) text += r.Pick(kPseudo);
  }
  return text;
}

std::string Sheet(Random& r, int rules) {
  std::string text;
  for (; rules > 0; --rules) {
    switch (r.Below(12)) {
      case 0:
        text += "@media screen { " + Sheet(r, r.Below(3)) + (r.Chance(80) ? "}\n" : "");
        break;
      case 1:
        text += r.Chance(50) ? "@import url(x.css);\n" : "@font-face { font-family: x; src: url(";
        break;
      case 2:
        text += r.Pick(kJunk);
        break;
      default:
        text += Selector(r) + " { " + Declarations(r, 1 + r.Below(6)) + (r.Chance(95) ? "}\n" : "");
        break;
    }
  }
  return text;
}

// Attribute values and text: the odd and the huge, entities and bytes that
// are not UTF-8.
std::string Text(Random& r) {
  switch (r.Below(10)) {
    case 0:
      return "";
    case 1:
      return std::string(r.Chance(3) ? 3000000 : r.Chance(20) ? 70000 : 300, r.Chance(50) ? 'x' : ' ');
    case 2:
      if (r.Chance(10)) {
        // Ampersands by the hundred thousand, none of them ended.
        const char* const kRepeated[] = {"&", "&amp", "&#", "&#x1", "& ;"};
        std::string text;
        const std::string piece = r.Pick(kRepeated);
        for (int count = 100000 + r.Below(300000); count > 0; --count) text += piece;
        return text;
      }
      return "&amp;&lt;&#0;&#x110000;&#99999999999;&#xD800;&bogus;&#;&#x;&";
    case 3:
      return "\xff\xfe\xc3\x28\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82";
    case 4:
      return "\"'<>=`";
    case 5:
      return Number(r);
    case 6:
      return Declarations(r, 1 + r.Below(4));
    default:
      return r.Pick(kWords);
  }
}

// A JS string literal holding `text`, bytes above ASCII as \x escapes.
std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f && c != '\'' && c != '\\' && c != '<') {
      out += static_cast<char>(c);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\x%02x", c);
      out += escape;
    }
  }
  return out + "'";
}

std::string Script(Random& r, int statements, int depth);

std::string Attributes(Random& r) {
  std::string text;
  for (int count = r.Below(5); count > 0; --count) {
    const std::string name = r.Pick(kAttributes);
    text += " " + name;
    if (r.Chance(15)) continue;  // no value
    std::string value = name == "type"                                  ? std::string(r.Pick(kInputTypes))
                        : name.compare(0, 2, "on") == 0 && r.Chance(70) ? Script(r, 1, 0)
                                                                        : Text(r);
    const char quote = r.Chance(60) ? '"' : r.Chance(50) ? '\'' : ' ';
    if (quote == '"') {
      for (char& c : value) c = c == '"' ? '\'' : c;
    }
    text += "=" + std::string(1, quote) + value + (r.Chance(95) ? std::string(1, quote) : "");
  }
  return text;
}

// Elements nested deep and left unbalanced, with stray end tags and markup
// that is not quite markup.
std::string Html(Random& r, int depth, int& budget) {
  std::string text;
  while (budget > 0 && r.Chance(depth > 40 ? 30 : 75)) {
    --budget;
    const std::string tag = r.Pick(kTags);
    switch (r.Below(14)) {
      case 0:
        text += Text(r);
        continue;
      case 1:
        text += "</" + std::string(r.Pick(kTags)) + ">";
        continue;
      case 2:
        text += r.Chance(50) ? "<!-- x -- >" : r.Chance(50) ? "<!DOCTYPE x><![CDATA[" : "<</>< a=<";
        continue;
      case 3:
        text += "<style>" + Sheet(r, 1 + r.Below(4)) + "</style>";
        continue;
      case 4:
        if (tag == "select" || r.Chance(40)) {
          text += "<select" + Attributes(r) + ">";
          for (int options = r.Below(30); options > 0; --options)
            text += "<option" + Attributes(r) + ">" + Text(r) + (r.Chance(50) ? "</option>" : "");
          text += r.Chance(80) ? "</select>" : "";
          continue;
        }
        break;
      case 5:
        if (r.Chance(30)) {
          for (int levels = 100 + r.Below(400); levels > 0; --levels) text += "<" + tag + ">";
          continue;
        }
        break;
      default:
        break;
    }
    text += "<" + tag + Attributes(r) + (r.Chance(5) ? "/>" : ">");
    text += Html(r, depth + 1, budget);
    if (r.Chance(80)) text += "</" + tag + ">";
  }
  return text;
}

// A JS expression for an argument: the wrong kind as often as the right one.
std::string Argument(Random& r) {
  const char* const kArguments[] = {"null",
                                    "undefined",
                                    "{}",
                                    "[]",
                                    "document",
                                    "window",
                                    "-1",
                                    "1e309",
                                    "NaN",
                                    "document.createTextNode('t')",
                                    "document.body",
                                    "document.documentElement",
                                    "new Array(1 << 20).join('x')",
                                    "'x'"};
  return r.Chance(60) ? "E()" : r.Pick(kArguments);
}

std::string Statement(Random& r, int depth) {
  const std::string tag = Quoted(r.Pick(kTags));
  const std::string event = Quoted(r.Pick(kEvents));
  auto nested = [&] { return depth > 0 ? Script(r, 1 + r.Below(3), depth - 1) : std::string("E().remove();"); };
  switch (r.Below(35)) {
    case 0:
      return "E().appendChild(document.createElement(" + tag + "));";
    case 1:
      return "E().insertBefore(" + Argument(r) + ", " + (r.Chance(50) ? "E().firstChild" : Argument(r)) + ");";
    case 2:
      return "E().parentNode.removeChild(" + Argument(r) + ");";
    case 3:
      return "E().remove();";
    case 4: {
      int budget = 20;
      return "E().innerHTML = " + Quoted(Html(r, 0, budget)) + ";";
    }
    case 5:
      return "E().addEventListener(" + event + ", function (e) { " + nested() + " }, " +
             (r.Chance(30)   ? "{once: true}"
              : r.Chance(50) ? "true"
                             : "false") +
             ");";
    case 6:
      return "E().addEventListener(" + event +
             ", function (e) { e.target.remove(); E().innerHTML = ''; e.stopPropagation(); });";
    case 7:
      return "E().style.setProperty(" + Quoted(Word(r, kProperties)) + ", " + Quoted(CssValue(r)) + ");";
    case 8:
      return "E().style.cssText = " + Quoted(Declarations(r, 1 + r.Below(5))) + ";";
    case 9: {
      const std::string property = Word(r, kProperties);
      std::string camel;
      for (const char* p = property.c_str(); *p; ++p) camel += p[0] == '-' && p[1] ? static_cast<char>(*++p - 32) : *p;
      return "E().style." + camel + " = " + (r.Chance(80) ? Quoted(CssValue(r)) : Argument(r)) + ";";
    }
    case 10: {
      const char* const kOps[] = {"add", "remove", "toggle", "contains"};
      return "E().classList." + std::string(r.Pick(kOps)) + "(" + Quoted(r.Pick(kWords)) + ");" +
             (r.Chance(30) ? "E().classList.replace('a', " + Argument(r) + ");" : "");
    }
    case 11:
      return "E().dataset." + std::string(r.Chance(50) ? "fooBar" : "x") + " = " + Quoted(Text(r)) + ";";
    case 12:
      return "var s = document.querySelector('select') || E(); s.selectedIndex = " + Number(r) +
             "; if (s.options) { s.options[" + std::to_string(r.Below(5)) + "] && (s.options[" +
             std::to_string(r.Below(5)) +
             "].selected = true); s.innerHTML = " + Quoted(r.Chance(50) ? "" : "<option>a<option selected>b") + "; }";
    case 13:
      return r.Chance(50) ? "E().focus();" : r.Chance(50) ? "E().blur();" : "E().click();";
    case 14:
      return "E().dispatchEvent(new Event(" + event + ", {bubbles: " + (r.Chance(50) ? "true" : "false") + "}));";
    case 15:
      return std::string(r.Chance(50)   ? "setTimeout"
                         : r.Chance(70) ? "setInterval"
                                        : "requestAnimationFrame") +
             "(function () { " + nested() + " }, " + std::to_string(r.Below(40)) + ");";
    case 16:
      return "document.title = " + (r.Chance(70) ? Quoted(Text(r)) : Argument(r)) + ";";
    case 17:
      return "E().textContent = new Array(" + std::to_string(r.Below(100000)) + ").join(" + Quoted(Text(r)) + ");";
    case 18:
      return "E().setAttribute(" + Quoted(r.Pick(kAttributes)) + ", " + Quoted(Text(r)) + ");";
    case 19:
      return "E().removeAttribute(" + Quoted(r.Pick(kAttributes)) + ");";
    case 20: {
      const char* const kFields[] = {"value",    "checked",   "disabled", "hidden",
                                     "selected", "scrollTop", "id",       "className"};
      return "E()." + std::string(r.Pick(kFields)) + " = " + (r.Chance(50) ? Argument(r) : Quoted(Text(r))) + ";";
    }
    case 21:
      return "var b = E().getBoundingClientRect(); E().offsetWidth; E().scrollHeight; E().outerHTML; E().innerText;"
             " getComputedStyle(E()).width;";
    case 22: {
      const std::string selector = Quoted(Selector(r));
      return "document.querySelectorAll(" + selector + "); E().matches(" + selector + "); E().closest(" + selector +
             ");";
    }
    case 23:
      return "E().replaceChild(" + Argument(r) + ", " + Argument(r) + "); E().append(" + Argument(r) + ");";
    case 24:
      return "localStorage.setItem(" + Quoted(r.Pick(kWords)) + ", " + Argument(r) + ");";
    case 25:
      return "for (var i = 0; i < " + std::to_string(r.Below(300)) + "; i++) { var n = document.createElement(" + tag +
             "); E().appendChild(n); if (i % 3) n.parentNode.removeChild(n); else E().insertBefore(n, E()); }";
    case 26:
      return "E().setAttribute('onclick', " + Quoted(nested()) + "); E().on" + r.Pick(kEvents) + " = function () { " +
             nested() + " };";
    case 27:
      return r.Chance(50) ? "document.body.innerHTML = '';" : "document.documentElement.removeChild(document.body);";
    case 28:
      return "E().appendChild(E()); E().appendChild(E().parentNode);";
    case 29:
    case 30: {
      // Layout reads on a node made since the last layout, or taken out of
      // the tree: it has no box of its own.
      const char* const kReads[] = {"scrollTop", "scrollHeight", "offsetWidth", "clientHeight", "innerText"};
      const std::string node = r.Chance(50) ? "document.createElement(" + tag + ")" : "E().parentNode.removeChild(E())";
      return "var n = " + node + "; n.value = " + Quoted(Text(r)) + "; n." + r.Pick(kReads) + "; n." + r.Pick(kReads) +
             "; n.scrollTop = " + Number(r) + "; n.getBoundingClientRect(); getComputedStyle(n);" +
             (r.Chance(50) ? " n.focus(); n.select && n.select();" : "") + (r.Chance(30) ? " E().appendChild(n);" : "");
    }
    case 31:
      // A text field focused while out of the tree: the caret and keys then
      // address a field without a box.
      return "var f = document.createElement(" + Quoted(r.Chance(50) ? "input" : "textarea") +
             "); f.value = " + Quoted(Text(r)) + "; f.focus(); document.activeElement === f && f.scrollTop;" +
             (r.Chance(50) ? " E().appendChild(f); f.focus(); f.remove();" : "");
    case 32:
      return "for (var t = 0; t < " + std::to_string(r.Chance(50) ? 2000 + r.Below(20000) : r.Below(1500)) +
             "; t++) { " + (r.Chance(50) ? "setTimeout" : "setInterval") + "(function () { " + nested() + " }, t % " +
             std::to_string(1 + r.Below(50)) + "); }";
    case 33:
      return "E().innerHTML = new Array(" + std::to_string(r.Below(400000)) + ").join(" +
             Quoted(r.Chance(50)   ? "&"
                    : r.Chance(50) ? "&amp"
                                   : "&#") +
             ");";
    default:
      return "document.createElement(" + Quoted(r.Chance(50) ? Text(r) : std::string("a b")) + ");";
  }
}

std::string Script(Random& r, int statements, int depth) {
  std::string text;
  for (; statements > 0; --statements) {
    const std::string statement = Statement(r, depth);
    text += r.Chance(85) ? "try { " + statement + " } catch (e) {}\n" : statement + "\n";
  }
  return text;
}

// The page's random element, from a generator of its own so that what a
// script touches is fixed by the seed too; the save dialog would wait for a
// person.
std::string Prelude(std::uint64_t seed) {
  return "<script>navigator.msSaveBlob = function () { return false; };\nvar seed_ = " +
         std::to_string(seed % 2147483647 + 1) +
         ";\nfunction E() { seed_ = seed_ * 16807 % 2147483647;"
         " var all = document.querySelectorAll('*');"
         " return all.length ? all[seed_ % all.length] : document.body; }\n</script>";
}

// Cuts, copies, junk and grammar-made pieces at random places.
std::string Mutate(Random& r, std::string text, bool markup) {
  for (int edits = 1 + r.Below(8); edits > 0 && !text.empty(); --edits) {
    const std::size_t at = static_cast<std::size_t>(r.Below(static_cast<int>(text.size())));
    const std::size_t length = static_cast<std::size_t>(r.Below(200));
    switch (r.Below(5)) {
      case 0:
        text.erase(at, length);
        break;
      case 1:
        text.insert(at, text.substr(at, length));
        break;
      case 2:
        text.insert(at, r.Pick(kJunk));
        break;
      case 3: {
        int budget = 30;
        text.insert(at, markup ? Html(r, 0, budget) : r.Chance(50) ? Sheet(r, 2) : Script(r, 2, 1));
        break;
      }
      default:
        text.resize(at);
        break;
    }
  }
  return text;
}

}  // namespace

std::uint64_t Random::Next() {
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

HostilePage HostilePageMaker::Make(std::uint64_t seed, int index) const {
  Random r(seed * 1000003u + static_cast<std::uint64_t>(index));
  HostilePage page;
  page.inputSeed = r.Next();
  const std::string prelude = Prelude(r.Next());
  const int kind = seeds_.empty() ? 0 : r.Below(3);
  if (kind == 0) {
    int budget = 50 + r.Below(400);
    std::string html = prelude + "<title>" + Text(r) + "</title><link rel=stylesheet href=page.css><style>" +
                       Sheet(r, r.Below(30)) + "</style>" + Html(r, 0, budget) + "<script>" +
                       Script(r, 5 + r.Below(40), 2) + "</script>" + Html(r, 0, budget) +
                       "<script src=page.js></script>";
    page.files = {{"page.html", html}, {"page.css", Sheet(r, r.Below(20))}, {"page.js", Script(r, r.Below(20), 2)}};
    return page;
  }
  // A page of the repository, mutated (kind 1) or whole with a hostile
  // script after it (kind 2).
  const PageFiles& original = seeds_[static_cast<std::size_t>(r.Below(static_cast<int>(seeds_.size())))];
  for (std::size_t i = 0; i < original.size(); ++i) {
    const bool markup = original[i].first.find(".htm") != std::string::npos;
    std::string text = kind == 1 && r.Chance(70) ? Mutate(r, original[i].second, markup) : original[i].second;
    if (i == 0) text = prelude + text + (kind == 2 ? "<script>" + Script(r, 10 + r.Below(30), 2) + "</script>" : "");
    page.files.emplace_back(i == 0 ? "page.html" : original[i].first, text);
  }
  return page;
}

}  // namespace halyx::bench
