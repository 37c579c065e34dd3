#include "engine/script/dom_bindings.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "engine/style/css_parser.h"
#include "engine/dom/html_parser.h"
#include "engine/script/embedded_scripts.h"
#include "engine/script/script_context.h"
#include "engine/style/selector_matcher.h"

namespace halyx::engine {
namespace {

std::string StringArg(duk_context* ctx, duk_idx_t index) {
  duk_size_t size = 0;
  const char* text = duk_safe_to_lstring(ctx, index, &size);
  return std::string(text, size);
}

ScriptHost& View(duk_context* ctx) { return ScriptContext::From(ctx)->view(); }
HtmlDocument& Doc(duk_context* ctx) { return View(ctx).document(); }

// A node as script names it: its index plus its slot's generation times
// kSlots, so that an index kept past the node's reclamation names nothing.
constexpr double kSlots = 262144;
static_assert(HtmlDocument::kMaxNodes < 262144, "node ids keep the index below kSlots");

double IdOf(const HtmlDocument& doc, int index) {
  return index < 0 ? -1 : static_cast<double>(doc.generation(index)) * kSlots + index;
}

// The node behind an id script passed, or -1 for none (a stale id too).
int NodeArg(duk_context* ctx, duk_idx_t at) {
  const double id = duk_to_number(ctx, at);
  if (!(id >= 0) || id >= kSlots * 4294967296.0 || id != std::floor(id)) return -1;
  const double generation = std::floor(id / kSlots);
  const int index = static_cast<int>(id - generation * kSlots);
  const HtmlDocument& doc = Doc(ctx);
  return doc.IsNode(index) && doc.generation(index) == generation ? index : -1;
}

void PushNode(duk_context* ctx, int index) { duk_push_number(ctx, IdOf(Doc(ctx), index)); }

void PushString(duk_context* ctx, const std::string& text) { ScriptContext::PushText(ctx, text); }

void PushIndices(duk_context* ctx, const std::vector<int>& indices) {
  const duk_idx_t array = duk_push_array(ctx);
  for (std::size_t k = 0; k < indices.size(); ++k) {
    PushNode(ctx, indices[k]);
    duk_put_prop_index(ctx, array, static_cast<duk_uarridx_t>(k));
  }
}

std::string Escape(const std::string& text, bool attribute) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += attribute ? "&quot;" : "\"";
        break;
      default:
        out += c;
    }
  }
  return out;
}

void Serialize(const HtmlDocument& doc, int index, std::string& out) {
  const HtmlDocument::Node& node = doc.node(index);
  if (node.tag.empty()) {
    out += Escape(node.text, false);
    return;
  }
  out += '<' + node.tag;
  for (const auto& [name, value] : node.attributes) out += ' ' + name + "=\"" + Escape(value, true) + '"';
  out += '>';
  static const char* const kVoid[] = {"br", "hr", "img", "input", "link", "meta", "area", "col", "wbr", "source"};
  for (const char* name : kVoid) {
    if (node.tag == name) return;
  }
  for (int child : node.children) Serialize(doc, child, out);
  out += "</" + node.tag + '>';
}

// The style attribute with `property` set to `value` (removed when empty).
std::string WithDeclaration(const std::string& style, const std::string& property, const std::string& value) {
  std::string out;
  bool replaced = false;
  for (const Declaration& d : CssParser::ParseDeclarations(style)) {
    if (d.property == property) {
      if (!value.empty() && !replaced) out += property + ": " + value + "; ";
      replaced = true;
      continue;
    }
    out += d.property + ": " + d.value + (d.important ? " !important" : "") + "; ";
  }
  if (!replaced && !value.empty()) out += property + ": " + value + "; ";
  if (!out.empty()) out.resize(out.size() - 1);
  return out;
}

bool IsFormControl(const HtmlDocument& doc, int element) {
  if (!doc.IsElement(element)) return false;
  const std::string& tag = doc.node(element).tag;
  return tag == "input" || tag == "textarea" || tag == "select";
}

std::string ValueOf(const HtmlDocument& doc, int element) {
  if (!doc.IsElement(element)) return {};
  const std::string& tag = doc.node(element).tag;
  if (tag == "textarea" && !doc.HasAttribute(element, "value")) return doc.TextContent(element);
  if (tag == "select") {
    const int chosen = doc.SelectedOption(element);
    if (chosen < 0) return {};
    return doc.HasAttribute(chosen, "value") ? doc.Attribute(chosen, "value") : doc.TextContent(chosen);
  }
  if (tag == "input" && !doc.HasAttribute(element, "value")) {
    const std::string type = doc.Attribute(element, "type");
    return type == "checkbox" || type == "radio" ? "on" : "";
  }
  return doc.Attribute(element, "value");
}

struct Primitive {
  const char* name;
  duk_c_function fn;
  duk_idx_t nargs;
};

const Primitive kPrimitives[] = {
    {"kind",
     [](duk_context* ctx) -> duk_ret_t {
       const HtmlDocument& doc = Doc(ctx);
       const int index = NodeArg(ctx, 0);
       duk_push_int(ctx, doc.IsElement(index) ? 1 : doc.IsText(index) ? 3 : index == 0 ? 9 : 0);
       return 1;
     },
     1},
    {"parent",
     [](duk_context* ctx) -> duk_ret_t {
       const HtmlDocument& doc = Doc(ctx);
       const int index = NodeArg(ctx, 0);
       PushNode(ctx, doc.IsNode(index) ? doc.node(index).parent : -1);
       return 1;
     },
     1},
    {"children",
     [](duk_context* ctx) -> duk_ret_t {
       const HtmlDocument& doc = Doc(ctx);
       const int index = NodeArg(ctx, 0);
       const bool elements = duk_to_boolean(ctx, 1) != 0;
       std::vector<int> out;
       if (doc.IsNode(index)) {
         for (int child : doc.node(index).children) {
           if (!elements || doc.IsElement(child)) out.push_back(child);
         }
       }
       PushIndices(ctx, out);
       return 1;
     },
     2},
    {"connected",
     [](duk_context* ctx) -> duk_ret_t {
       duk_push_boolean(ctx, Doc(ctx).Contains(0, NodeArg(ctx, 0)));
       return 1;
     },
     1},
    {"contains",
     [](duk_context* ctx) -> duk_ret_t {
       duk_push_boolean(ctx, Doc(ctx).Contains(NodeArg(ctx, 0), NodeArg(ctx, 1)));
       return 1;
     },
     2},
    {"tag",
     [](duk_context* ctx) -> duk_ret_t {
       const HtmlDocument& doc = Doc(ctx);
       const int index = NodeArg(ctx, 0);
       PushString(ctx, doc.IsElement(index) ? doc.node(index).tag : std::string());
       return 1;
     },
     1},
    {"attrs",
     [](duk_context* ctx) -> duk_ret_t {
       const HtmlDocument& doc = Doc(ctx);
       const int index = NodeArg(ctx, 0);
       const duk_idx_t object = duk_push_object(ctx);
       if (doc.IsElement(index)) {
         for (const auto& [name, value] : doc.node(index).attributes) {
           PushString(ctx, value);
           duk_put_prop_lstring(ctx, object, name.data(), name.size());
         }
       }
       return 1;
     },
     1},
    {"getAttr",
     [](duk_context* ctx) -> duk_ret_t {
       const HtmlDocument& doc = Doc(ctx);
       const int element = NodeArg(ctx, 0);
       const std::string name = StringArg(ctx, 1);
       if (!doc.HasAttribute(element, name)) return 0;
       PushString(ctx, doc.Attribute(element, name));
       return 1;
     },
     2},
    {"setAttr",
     [](duk_context* ctx) -> duk_ret_t {
       const std::string name = StringArg(ctx, 1);
       // Attribute names a parser could not have made are refused, so that
       // serialising the element gives back the same element.
       if (name.empty() || name.find_first_of(" \t\n\"'>/=<") != std::string::npos) return 0;
       Doc(ctx).SetAttribute(NodeArg(ctx, 0), name, StringArg(ctx, 2));
       View(ctx).ContentChanged();
       return 0;
     },
     3},
    {"removeAttr",
     [](duk_context* ctx) -> duk_ret_t {
       Doc(ctx).RemoveAttribute(NodeArg(ctx, 0), StringArg(ctx, 1));
       View(ctx).ContentChanged();
       return 0;
     },
     2},
    {"getText",
     [](duk_context* ctx) -> duk_ret_t {
       PushString(ctx, Doc(ctx).TextContent(NodeArg(ctx, 0)));
       return 1;
     },
     1},
    {"setText",
     [](duk_context* ctx) -> duk_ret_t {
       const int index = NodeArg(ctx, 0);
       Doc(ctx).SetTextContent(index, StringArg(ctx, 1));
       View(ctx).NodeRemoved(index);
       return 0;
     },
     2},
    {"getHTML",
     [](duk_context* ctx) -> duk_ret_t {
       const HtmlDocument& doc = Doc(ctx);
       const int index = NodeArg(ctx, 0);
       std::string out;
       if (doc.IsNode(index)) {
         if (duk_to_boolean(ctx, 1) != 0) {
           Serialize(doc, index, out);
         } else {
           for (int child : doc.node(index).children) Serialize(doc, child, out);
         }
       }
       PushString(ctx, out);
       return 1;
     },
     2},
    {"setHTML",
     [](duk_context* ctx) -> duk_ret_t {
       HtmlDocument& doc = Doc(ctx);
       const int index = NodeArg(ctx, 0);
       if (!doc.IsElement(index)) return 0;
       doc.RemoveChildren(index);
       HtmlParser::ParseFragment(doc, index, StringArg(ctx, 1));
       View(ctx).NodeRemoved(index);
       return 0;
     },
     2},
    {"create",
     [](duk_context* ctx) -> duk_ret_t {
       const std::string tag = StringArg(ctx, 0);
       const bool valid = !tag.empty() && tag.find_first_of(" \t\n\"'>/=<") == std::string::npos;
       PushNode(ctx, valid ? Doc(ctx).CreateElement(tag) : -1);
       return 1;
     },
     1},
    {"createText",
     [](duk_context* ctx) -> duk_ret_t {
       PushNode(ctx, Doc(ctx).CreateText(StringArg(ctx, 0)));
       return 1;
     },
     1},
    {"insert",
     [](duk_context* ctx) -> duk_ret_t {
       const bool done = Doc(ctx).InsertBefore(NodeArg(ctx, 0), NodeArg(ctx, 1), NodeArg(ctx, 2));
       if (done) View(ctx).ContentChanged();
       duk_push_boolean(ctx, done);
       return 1;
     },
     3},
    {"remove",
     [](duk_context* ctx) -> duk_ret_t {
       const int child = NodeArg(ctx, 1);
       const bool done = Doc(ctx).RemoveChild(NodeArg(ctx, 0), child);
       if (done) View(ctx).NodeRemoved(child);
       duk_push_boolean(ctx, done);
       return 1;
     },
     2},
    {"query",
     [](duk_context* ctx) -> duk_ret_t {
       std::vector<Selector> selectors;
       if (!CssParser::ParseSelectors(StringArg(ctx, 1), selectors)) return 0;
       const SelectorMatcher matcher(Doc(ctx), View(ctx).interaction());
       const int root = NodeArg(ctx, 0);
       if (duk_to_boolean(ctx, 2) != 0) {
         std::vector<int> found;
         matcher.QueryAll(root, selectors, found);
         PushIndices(ctx, found);
       } else {
         PushNode(ctx, matcher.QueryFirst(root, selectors));
       }
       return 1;
     },
     3},
    {"matches",
     [](duk_context* ctx) -> duk_ret_t {
       std::vector<Selector> selectors;
       bool match = false;
       if (CssParser::ParseSelectors(StringArg(ctx, 1), selectors)) {
         const SelectorMatcher matcher(Doc(ctx), View(ctx).interaction());
         for (const Selector& selector : selectors) match = match || matcher.Matches(NodeArg(ctx, 0), selector);
       }
       duk_push_boolean(ctx, match);
       return 1;
     },
     2},
    {"getStyle",
     [](duk_context* ctx) -> duk_ret_t {
       const std::string property = StringArg(ctx, 1);
       std::string value;
       for (const Declaration& d : CssParser::ParseDeclarations(Doc(ctx).Attribute(NodeArg(ctx, 0), "style"))) {
         if (d.property == property) value = d.value;
       }
       PushString(ctx, value);
       return 1;
     },
     2},
    {"setStyle",
     [](duk_context* ctx) -> duk_ret_t {
       HtmlDocument& doc = Doc(ctx);
       const int element = NodeArg(ctx, 0);
       if (!doc.IsElement(element)) return 0;
       std::string value = StringArg(ctx, 2);
       // A value cannot close the declaration and start another.
       if (value.find_first_of(";{}") != std::string::npos) return 0;
       doc.SetAttribute(element, "style", WithDeclaration(doc.Attribute(element, "style"), StringArg(ctx, 1), value));
       View(ctx).ContentChanged();
       return 0;
     },
     3},
    {"getValue",
     [](duk_context* ctx) -> duk_ret_t {
       PushString(ctx, ValueOf(Doc(ctx), NodeArg(ctx, 0)));
       return 1;
     },
     1},
    {"setValue",
     [](duk_context* ctx) -> duk_ret_t {
       HtmlDocument& doc = Doc(ctx);
       const int element = NodeArg(ctx, 0);
       const std::string value = StringArg(ctx, 1);
       if (doc.IsElement(element) && doc.node(element).tag == "select") {
         for (int child : doc.node(element).children) {
           if (!doc.IsElement(child) || doc.node(child).tag != "option") continue;
           const std::string option =
               doc.HasAttribute(child, "value") ? doc.Attribute(child, "value") : doc.TextContent(child);
           if (option == value)
             doc.SetAttribute(child, "selected", "");
           else
             doc.RemoveAttribute(child, "selected");
         }
       } else if (IsFormControl(doc, element) || doc.IsElement(element)) {
         doc.SetAttribute(element, "value", value);
         View(ctx).ValueSetByScript(element);
       }
       View(ctx).ContentChanged();
       return 0;
     },
     2},
    {"rect",
     [](duk_context* ctx) -> duk_ret_t {
       float rect[4] = {0, 0, 0, 0};
       View(ctx).ElementRect(NodeArg(ctx, 0), rect);
       const duk_idx_t array = duk_push_array(ctx);
       for (duk_uarridx_t k = 0; k < 4; ++k) {
         duk_push_number(ctx, rect[k]);
         duk_put_prop_index(ctx, array, k);
       }
       return 1;
     },
     1},
    {"scroll",
     [](duk_context* ctx) -> duk_ret_t {
       ScriptHost& view = View(ctx);
       const int element = NodeArg(ctx, 0);
       if (!duk_is_null_or_undefined(ctx, 1)) {
         view.ScrollTo(element, static_cast<float>(duk_to_number(ctx, 1)));
         return 0;
       }
       float top = 0, height = 0;
       view.ScrollMetrics(element, top, height);
       const duk_idx_t array = duk_push_array(ctx);
       duk_push_number(ctx, top);
       duk_put_prop_index(ctx, array, 0);
       duk_push_number(ctx, height);
       duk_put_prop_index(ctx, array, 1);
       return 1;
     },
     2},
    {"focus",
     [](duk_context* ctx) -> duk_ret_t {
       // -1 blurs; a stale id does nothing.
       const int element = NodeArg(ctx, 0);
       if (element >= 0 || duk_to_number(ctx, 0) < 0) View(ctx).Focus(element);
       return 0;
     },
     1},
    {"wrapped",
     [](duk_context* ctx) -> duk_ret_t {
       // The finalizer sits on the wrapper itself, where a page that
       // changes the wrapper's prototype cannot take it away.
       if (!duk_is_object(ctx, 0)) return 0;
       duk_get_prop_string(ctx, 0, "_index");
       const int index = NodeArg(ctx, -1);
       if (index <= 0) return 0;
       duk_push_c_function(ctx, &DomBindings::FinalizeWrapper, 2);
       duk_set_finalizer(ctx, 0);
       ScriptContext::From(ctx)->NoteWrapped(index);
       return 0;
     },
     1},
    {"focused",
     [](duk_context* ctx) -> duk_ret_t {
       PushNode(ctx, View(ctx).interaction().focus);
       return 1;
     },
     0},
    {"body",
     [](duk_context* ctx) -> duk_ret_t {
       PushNode(ctx, Doc(ctx).Body());
       return 1;
     },
     0},
    {"ready",
     [](duk_context* ctx) -> duk_ret_t {
       duk_push_boolean(ctx, View(ctx).loaded());
       return 1;
     },
     0},
    {"viewSize",
     [](duk_context* ctx) -> duk_ret_t {
       const duk_idx_t array = duk_push_array(ctx);
       duk_push_int(ctx, View(ctx).width());
       duk_put_prop_index(ctx, array, 0);
       duk_push_int(ctx, View(ctx).height());
       duk_put_prop_index(ctx, array, 1);
       return 1;
     },
     0},
};

// Where the sweep parks the wrappers that the collector finds unreachable.
const char kParked[] = DUK_HIDDEN_SYMBOL("parkedWrappers");

// Pushes hooks.nodes[name] of the page's script.
void PushNodesMember(duk_context* ctx, const char* name) {
  duk_push_global_stash(ctx);
  duk_get_prop_string(ctx, -1, "hooks");
  duk_get_prop_string(ctx, -1, "nodes");
  duk_get_prop_string(ctx, -1, name);
  duk_remove(ctx, -2);
  duk_remove(ctx, -2);
  duk_remove(ctx, -2);
}

}  // namespace

const char* DomBindings::Script() { return kDomBindingsScript; }

void DomBindings::PushNode(duk_context* ctx, int index) { halyx::engine::PushNode(ctx, index); }

int DomBindings::NodeIndex(duk_context* ctx, duk_idx_t at) { return NodeArg(ctx, at); }

duk_ret_t DomBindings::FinalizeWrapper(duk_context* ctx) {
  // [wrapper heapDestruct]: outside a sweep a wrapper just goes; inside
  // one it is kept until the sweep has decided about its subtree.
  if (duk_to_boolean(ctx, 1) != 0) return 0;
  duk_push_global_stash(ctx);
  if (!duk_get_prop_string(ctx, -1, kParked) || !duk_is_object(ctx, -1)) return 0;
  duk_get_prop_string(ctx, 0, "_index");
  if (!duk_is_number(ctx, -1)) return 0;
  duk_dup(ctx, 0);
  duk_put_prop(ctx, -3);
  return 0;
}

duk_ret_t DomBindings::Sweep(duk_context* ctx, SweepState& state) {
  const HtmlDocument& doc = Doc(ctx);
  std::vector<char>& wrapped = *state.wrapped;
  state.found.clear();
  PushNodesMember(ctx, "wrappers");
  const duk_idx_t wrappers = duk_normalize_index(ctx, -1);
  if (!duk_is_object(ctx, wrappers)) return 0;
  // The wrappers of detached nodes, which only script may still hold.
  for (std::size_t k = 1; k < wrapped.size(); ++k) {
    const int index = static_cast<int>(k);
    if (!wrapped[k]) continue;
    if (!doc.IsNode(index)) {
      wrapped[k] = 0;
      continue;
    }
    if (doc.Contains(0, index)) continue;
    duk_push_number(ctx, IdOf(doc, index));
    duk_get_prop(ctx, wrappers);
    if (duk_is_object(ctx, -1)) {
      int root = index;
      while (doc.node(root).parent >= 0) root = doc.node(root).parent;
      state.found.push_back(SweepState::Found{index, root, duk_get_heapptr(ctx, -1), false});
    } else {
      wrapped[k] = 0;
    }
    duk_pop(ctx);
  }
  if (state.found.empty()) return 0;
  // Only the collector knows what script can still reach: the cache lets
  // go of them, and what the collection finalizes is parked, not freed.
  duk_push_global_stash(ctx);
  duk_push_object(ctx);
  duk_put_prop_string(ctx, -2, kParked);
  duk_get_prop_string(ctx, -1, kParked);
  const duk_idx_t parked = duk_normalize_index(ctx, -1);
  for (const SweepState::Found& found : state.found) {
    duk_push_number(ctx, IdOf(doc, found.index));
    duk_del_prop(ctx, wrappers);
  }
  duk_gc(ctx, 0);
  // A detached subtree lives on, with all its wrappers, while script can
  // reach any one of them (it can walk from it to the others).
  for (SweepState::Found& found : state.found) {
    duk_push_number(ctx, IdOf(doc, found.index));
    found.reachable = !duk_has_prop(ctx, parked);
  }
  std::vector<int>& live_roots = state.live_roots;
  live_roots.clear();
  for (const SweepState::Found& found : state.found) {
    if (found.reachable) live_roots.push_back(found.root);
  }
  std::sort(live_roots.begin(), live_roots.end());
  for (const SweepState::Found& found : state.found) {
    const double id = IdOf(doc, found.index);
    if (!std::binary_search(live_roots.begin(), live_roots.end(), found.root)) {
      wrapped[static_cast<std::size_t>(found.index)] = 0;
      continue;
    }
    duk_push_number(ctx, id);
    if (found.reachable) {
      duk_push_heapptr(ctx, found.heapptr);
    } else {
      duk_push_number(ctx, id);
      duk_get_prop(ctx, parked);
    }
    duk_put_prop(ctx, wrappers);
  }
  // The wrappers of unreachable subtrees go now (their finalizer runs
  // again and finds nothing parked).
  duk_del_prop_string(ctx, parked - 1, kParked);
  return 0;
}

void DomBindings::AddTo(duk_context* ctx, duk_idx_t object) {
  object = duk_normalize_index(ctx, object);
  for (const Primitive& primitive : kPrimitives) {
    duk_push_c_function(ctx, primitive.fn, primitive.nargs);
    duk_put_prop_string(ctx, object, primitive.name);
  }
}

}  // namespace halyx::engine
