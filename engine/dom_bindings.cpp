#include "engine/dom_bindings.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "engine/css_parser.h"
#include "engine/html_parser.h"
#include "engine/script_context.h"
#include "engine/selector_matcher.h"
#include "engine/web_view.h"

namespace halyx::engine {
namespace {

const char kScript[] = R"JS((function (global, N, report) {
  var wrappers = {};
  var listeners = {};
  // A node's listeners live on its wrapper, so that they (and what their
  // closures hold) go with it rather than keep it.
  function listenersOf(node) {
    if (node === document || node === global) {
      var key = node === document ? 'doc' : 'win';
      return listeners[key] = listeners[key] || {};
    }
    if (!node._listeners) Object.defineProperty(node, '_listeners', { value: {} });
    return node._listeners;
  }
  function kebab(name) {
    if (name === 'cssFloat') return 'float';
    return String(name).replace(/[A-Z]/g, function (c) { return '-' + c.toLowerCase(); });
  }
  function camel(name) { return name.replace(/-([a-z])/g, function (m, c) { return c.toUpperCase(); }); }
  function indexOf(node) {
    if (node === document) return 0;
    if (node === null || typeof node !== 'object' || typeof node._index !== 'number') {
      throw new TypeError('parameter is not of type Node');
    }
    return node._index;
  }
  function domError(message) { var e = new Error(message); e.name = 'HierarchyRequestError'; return e; }

  function addListener(type, fn, options) {
    if (typeof fn !== 'function' && !(fn && typeof fn.handleEvent === 'function')) return;
    var capture = options === true || (options && typeof options === 'object' && !!options.capture);
    var map = listenersOf(this);
    var list = map[type] = map[type] || [];
    for (var i = 0; i < list.length; i++) if (list[i].fn === fn && list[i].capture === capture) return;
    list.push({ fn: fn, capture: capture, once: !!(options && options.once) });
  }
  function removeListener(type, fn, options) {
    var capture = options === true || (options && typeof options === 'object' && !!options.capture);
    var list = listenersOf(this)[type] || [];
    for (var i = 0; i < list.length; i++) {
      if (list[i].fn === fn && list[i].capture === capture) { list.splice(i, 1); return; }
    }
  }

  function Event(type, init) {
    init = init || {};
    this.type = String(type);
    this.bubbles = !!init.bubbles;
    this.cancelable = init.cancelable !== false;
    this.defaultPrevented = false;
    this.target = null;
    this.currentTarget = null;
    this.eventPhase = 0;
    this.timeStamp = Date.now();
    for (var k in init) if (!(k in this)) this[k] = init[k];
  }
  Event.prototype.preventDefault = function () { if (this.cancelable) this.defaultPrevented = true; };
  Event.prototype.stopPropagation = function () { this._stop = true; };
  Event.prototype.stopImmediatePropagation = function () { this._stop = true; this._stopNow = true; };
  global.Event = Event;
  global.CustomEvent = Event;

  // Runs the listeners of one node for one phase; true when any ran.
  function invoke(node, ev, phase) {
    var ran = false;
    ev.currentTarget = node;
    ev.eventPhase = phase;
    if (phase !== 1) {
      var on = node['on' + ev.type];
      if (typeof on === 'function') {
        ran = true;
        try { if (on.call(node, ev) === false) ev.preventDefault(); } catch (e) { report(e); }
      }
    }
    var list = (listenersOf(node)[ev.type] || []).slice();
    for (var i = 0; i < list.length && !ev._stopNow; i++) {
      var l = list[i];
      if ((phase === 1 && !l.capture) || (phase === 3 && l.capture)) continue;
      ran = true;
      if (l.once) removeListener.call(node, ev.type, l.fn, l.capture);
      try {
        if (typeof l.fn === 'function') l.fn.call(node, ev); else l.fn.handleEvent(ev);
      } catch (e) { report(e); }
    }
    return ran;
  }
  function dispatch(target, ev) {
    var path = [target];
    if (target !== document && target !== global) {
      for (var p = N.parent(target._index); p >= 0; p = p === 0 ? -1 : N.parent(p)) path.push(wrap(p));
    }
    if (path[path.length - 1] === document) path.push(global);
    ev.target = target;
    var ran = false;
    for (var i = path.length - 1; i > 0 && !ev._stop; i--) ran = invoke(path[i], ev, 1) || ran;
    if (!ev._stop) ran = invoke(path[0], ev, 2) || ran;
    if (ev.bubbles) for (var j = 1; j < path.length && !ev._stop; j++) ran = invoke(path[j], ev, 3) || ran;
    ev.currentTarget = null;
    ev.eventPhase = 0;
    return ran;
  }
  function dispatchEvent(ev) {
    if (!(ev instanceof Event)) throw new TypeError('parameter is not of type Event');
    dispatch(this, ev);
    return !ev.defaultPrevented;
  }

  function wrap(index) {
    if (typeof index !== 'number' || index < 0) return null;
    if (index === 0) return document;
    var node = wrappers[index];
    if (node) return node;
    var kind = N.kind(index);
    if (kind === 0) return null;
    node = wrappers[index] = kind === 1 ? new Element(index) : new Text(index);
    N.wrapped(node);
    if (kind === 1) {
      var attrs = N.attrs(index);
      for (var name in attrs) {
        if (name.length > 2 && name.slice(0, 2) === 'on') {
          try { node[name] = new Function('event', attrs[name]); } catch (e) { report(e); }
        }
      }
    }
    return node;
  }
  function wrapAll(list) { var out = []; for (var i = 0; i < list.length; i++) out.push(wrap(list[i])); return out; }

  function Node() {}
  function prop(proto, name, get, set) {
    Object.defineProperty(proto, name, { get: get, set: set || function () {}, configurable: true });
  }
  var NodeProto = Node.prototype;
  prop(NodeProto, 'parentNode', function () { return wrap(N.parent(indexOf(this))); });
  prop(NodeProto, 'parentElement', function () { var p = N.parent(indexOf(this)); return p > 0 ? wrap(p) : null; });
  prop(NodeProto, 'childNodes', function () { return wrapAll(N.children(indexOf(this), false)); });
  prop(NodeProto, 'children', function () { return wrapAll(N.children(indexOf(this), true)); });
  prop(NodeProto, 'childElementCount', function () { return N.children(indexOf(this), true).length; });
  prop(NodeProto, 'firstChild', function () { var c = N.children(indexOf(this), false); return c.length ? wrap(c[0]) : null; });
  prop(NodeProto, 'lastChild', function () { var c = N.children(indexOf(this), false); return c.length ? wrap(c[c.length - 1]) : null; });
  prop(NodeProto, 'firstElementChild', function () { var c = N.children(indexOf(this), true); return c.length ? wrap(c[0]) : null; });
  prop(NodeProto, 'lastElementChild', function () { var c = N.children(indexOf(this), true); return c.length ? wrap(c[c.length - 1]) : null; });
  function sibling(step, elements) {
    return function () {
      var p = N.parent(indexOf(this));
      if (p < 0) return null;
      var list = N.children(p, elements);
      var at = list.indexOf(this._index);
      return at < 0 || at + step < 0 || at + step >= list.length ? null : wrap(list[at + step]);
    };
  }
  prop(NodeProto, 'nextSibling', sibling(1, false));
  prop(NodeProto, 'previousSibling', sibling(-1, false));
  prop(NodeProto, 'nextElementSibling', sibling(1, true));
  prop(NodeProto, 'previousElementSibling', sibling(-1, true));
  prop(NodeProto, 'textContent', function () { return N.getText(indexOf(this)); },
       function (v) { N.setText(indexOf(this), v === null || v === undefined ? '' : String(v)); });
  prop(NodeProto, 'ownerDocument', function () { return document; });
  prop(NodeProto, 'isConnected', function () { return N.connected(indexOf(this)); });
  NodeProto.appendChild = function (child) {
    if (!N.insert(indexOf(this), indexOf(child), -1)) throw domError('The new child element contains the parent or nests too deep.');
    return child;
  };
  NodeProto.insertBefore = function (child, ref) {
    var before = ref === null || ref === undefined ? -1 : indexOf(ref);
    if (!N.insert(indexOf(this), indexOf(child), before)) throw domError('The node cannot be inserted here.');
    return child;
  };
  NodeProto.removeChild = function (child) {
    if (!N.remove(indexOf(this), indexOf(child))) {
      var e = new Error('The node to be removed is not a child of this node.');
      e.name = 'NotFoundError';
      throw e;
    }
    return child;
  };
  NodeProto.replaceChild = function (child, old) { this.insertBefore(child, old); return this.removeChild(old); };
  NodeProto.contains = function (other) { return other !== null && other !== undefined && N.contains(indexOf(this), indexOf(other)); };
  NodeProto.hasChildNodes = function () { return N.children(indexOf(this), false).length > 0; };
  NodeProto.addEventListener = addListener;
  NodeProto.removeEventListener = removeListener;
  NodeProto.dispatchEvent = dispatchEvent;

  function Text(index) { Object.defineProperty(this, '_index', { value: index }); }
  Text.prototype = Object.create(NodeProto);
  Text.prototype.nodeType = 3;
  Text.prototype.nodeName = '#text';
  prop(Text.prototype, 'data', function () { return N.getText(this._index); },
       function (v) { N.setText(this._index, String(v)); });
  prop(Text.prototype, 'nodeValue', function () { return N.getText(this._index); },
       function (v) { N.setText(this._index, String(v)); });
  Text.prototype.remove = function () { var p = N.parent(this._index); if (p >= 0) N.remove(p, this._index); };

  function Element(index) { Object.defineProperty(this, '_index', { value: index }); }
  var ElementProto = Element.prototype = Object.create(NodeProto);
  ElementProto.nodeType = 1;
  prop(ElementProto, 'tagName', function () { return N.tag(this._index).toUpperCase(); });
  prop(ElementProto, 'nodeName', function () { return N.tag(this._index).toUpperCase(); });
  function reflect(name, attr) {
    prop(ElementProto, name, function () { return N.getAttr(this._index, attr) || ''; },
         function (v) { N.setAttr(this._index, attr, String(v)); });
  }
  reflect('id', 'id');
  reflect('className', 'class');
  reflect('title', 'title');
  reflect('type', 'type');
  reflect('name', 'name');
  reflect('href', 'href');
  reflect('src', 'src');
  reflect('placeholder', 'placeholder');
  function flag(name) {
    prop(ElementProto, name, function () { return N.getAttr(this._index, name) !== undefined; },
         function (v) { if (v) N.setAttr(this._index, name, ''); else N.removeAttr(this._index, name); });
  }
  flag('checked');
  flag('disabled');
  flag('hidden');
  flag('selected');
  prop(ElementProto, 'value', function () { return N.getValue(this._index); },
       function (v) { N.setValue(this._index, v === null || v === undefined ? '' : String(v)); });
  // A select's options are its option children; it shows the last one
  // marked selected, else the first.
  function options(el) {
    return N.tag(el._index) !== 'select' ? undefined
        : [].filter.call(el.children, function (c) { return c.tagName === 'OPTION'; });
  }
  prop(ElementProto, 'options', function () { return options(this); });
  prop(ElementProto, 'selectedIndex', function () {
    var list = options(this), chosen = -1;
    if (!list) return undefined;
    for (var i = 0; i < list.length; ++i) if (chosen < 0 || list[i].selected) chosen = i;
    return chosen;
  }, function (v) {
    var list = options(this), at = Number(v);
    if (!list) return;
    for (var i = 0; i < list.length; ++i) list[i].selected = i === at;
  });
  prop(ElementProto, 'innerText', function () { return N.getText(this._index); },
       function (v) { N.setText(this._index, v === null || v === undefined ? '' : String(v)); });
  prop(ElementProto, 'innerHTML', function () { return N.getHTML(this._index, false); },
       function (v) { N.setHTML(this._index, v === null || v === undefined ? '' : String(v)); });
  prop(ElementProto, 'outerHTML', function () { return N.getHTML(this._index, true); });
  ElementProto.getAttribute = function (name) {
    var v = N.getAttr(this._index, String(name).toLowerCase());
    return v === undefined ? null : v;
  };
  ElementProto.setAttribute = function (name, value) {
    name = String(name).toLowerCase();
    N.setAttr(this._index, name, String(value));
    if (name.slice(0, 2) === 'on') {
      try { this[name] = new Function('event', String(value)); } catch (e) { report(e); }
    }
  };
  ElementProto.removeAttribute = function (name) { N.removeAttr(this._index, String(name).toLowerCase()); };
  ElementProto.hasAttribute = function (name) { return N.getAttr(this._index, String(name).toLowerCase()) !== undefined; };
  ElementProto.toggleAttribute = function (name, force) {
    var on = force === undefined ? !this.hasAttribute(name) : !!force;
    if (on) N.setAttr(this._index, String(name).toLowerCase(), ''); else this.removeAttribute(name);
    return on;
  };
  ElementProto.remove = function () { var p = N.parent(this._index); if (p >= 0) N.remove(p, this._index); };
  ElementProto.append = function () {
    for (var i = 0; i < arguments.length; i++) {
      var a = arguments[i];
      this.appendChild(typeof a === 'object' && a !== null ? a : document.createTextNode(String(a)));
    }
  };
  ElementProto.click = function () {
    return dispatch(this, new Event('click', { bubbles: true, button: 0 }));
  };
  ElementProto.focus = function () { N.focus(this._index); };
  ElementProto.blur = function () { if (N.focused() === this._index) N.focus(-1); };
  ElementProto.getBoundingClientRect = function () {
    var r = N.rect(this._index);
    return { x: r[0], y: r[1], left: r[0], top: r[1], width: r[2], height: r[3], right: r[0] + r[2], bottom: r[1] + r[3] };
  };
  prop(ElementProto, 'offsetWidth', function () { return Math.round(N.rect(this._index)[2]); });
  prop(ElementProto, 'offsetHeight', function () { return Math.round(N.rect(this._index)[3]); });
  prop(ElementProto, 'offsetLeft', function () { return Math.round(N.rect(this._index)[0]); });
  prop(ElementProto, 'offsetTop', function () { return Math.round(N.rect(this._index)[1]); });
  prop(ElementProto, 'clientWidth', function () { return Math.round(N.rect(this._index)[2]); });
  prop(ElementProto, 'clientHeight', function () { return Math.round(N.rect(this._index)[3]); });
  prop(ElementProto, 'scrollHeight', function () { return Math.round(N.scroll(this._index, null)[1]); });
  prop(ElementProto, 'scrollTop', function () { return N.scroll(this._index, null)[0]; },
       function (v) { N.scroll(this._index, Number(v) || 0); });
  function query(root, selector, all) {
    var r = N.query(root, String(selector), all);
    if (r === null || r === undefined) {
      var e = new Error("'" + selector + "' is not a valid selector");
      e.name = 'SyntaxError';
      throw e;
    }
    return all ? wrapAll(r) : wrap(r);
  }
  ElementProto.querySelector = function (s) { return query(this._index, s, false); };
  ElementProto.querySelectorAll = function (s) { return query(this._index, s, true); };
  ElementProto.getElementsByTagName = function (t) { return query(this._index, t, true); };
  ElementProto.getElementsByClassName = function (c) { return query(this._index, '.' + String(c).split(/\s+/).join('.'), true); };
  ElementProto.matches = function (s) { return N.matches(this._index, String(s)); };
  ElementProto.closest = function (s) {
    for (var n = this; n && n !== document; n = n.parentNode) if (n.matches(s)) return n;
    return null;
  };

  function ClassList(element) { this._element = element; }
  function classes(el) { var c = N.getAttr(el._index, 'class') || ''; return c.split(/\s+/).filter(function (x) { return x; }); }
  function store(el, list) { N.setAttr(el._index, 'class', list.join(' ')); }
  ClassList.prototype.add = function () {
    var list = classes(this._element);
    for (var i = 0; i < arguments.length; i++) if (list.indexOf(String(arguments[i])) < 0) list.push(String(arguments[i]));
    store(this._element, list);
  };
  ClassList.prototype.remove = function () {
    var drop = Array.prototype.map.call(arguments, String);
    store(this._element, classes(this._element).filter(function (c) { return drop.indexOf(c) < 0; }));
  };
  ClassList.prototype.contains = function (name) { return classes(this._element).indexOf(String(name)) >= 0; };
  ClassList.prototype.toggle = function (name, force) {
    var on = force === undefined ? !this.contains(name) : !!force;
    if (on) this.add(name); else this.remove(name);
    return on;
  };
  ClassList.prototype.replace = function (a, b) {
    if (!this.contains(a)) return false;
    store(this._element, classes(this._element).map(function (c) { return c === String(a) ? String(b) : c; }));
    return true;
  };
  ClassList.prototype.item = function (i) { var l = classes(this._element); return i < l.length ? l[i] : null; };
  Object.defineProperty(ClassList.prototype, 'length', { get: function () { return classes(this._element).length; } });
  ClassList.prototype.toString = function () { return classes(this._element).join(' '); };
  prop(ElementProto, 'classList', function () { return new ClassList(this); });

  prop(ElementProto, 'style', function () {
    var index = this._index;
    return new Proxy({}, {
      get: function (t, name) {
        if (typeof name !== 'string') return undefined;
        if (name === 'cssText') return N.getAttr(index, 'style') || '';
        if (name === 'setProperty') return function (p, v) { N.setStyle(index, String(p), v === null ? '' : String(v)); };
        if (name === 'getPropertyValue') return function (p) { return N.getStyle(index, String(p)); };
        if (name === 'removeProperty') return function (p) { N.setStyle(index, String(p), ''); };
        return N.getStyle(index, kebab(name));
      },
      set: function (t, name, v) {
        if (typeof name !== 'string') return true;
        if (name === 'cssText') N.setAttr(index, 'style', String(v));
        else N.setStyle(index, kebab(name), v === null || v === undefined ? '' : String(v));
        return true;
      }
    });
  });
  prop(ElementProto, 'dataset', function () {
    var index = this._index;
    return new Proxy({}, {
      get: function (t, name) {
        if (typeof name !== 'string') return undefined;
        return N.getAttr(index, 'data-' + kebab(name));
      },
      set: function (t, name, v) {
        if (typeof name === 'string') N.setAttr(index, 'data-' + kebab(name), String(v));
        return true;
      },
      deleteProperty: function (t, name) { N.removeAttr(index, 'data-' + kebab(String(name))); return true; },
      has: function (t, name) { return N.getAttr(index, 'data-' + kebab(String(name))) !== undefined; },
      ownKeys: function () {
        var attrs = N.attrs(index), keys = [];
        for (var k in attrs) if (k.slice(0, 5) === 'data-') keys.push(camel(k.slice(5)));
        return keys;
      }
    });
  });

  var document = {
    nodeType: 9,
    nodeName: '#document',
    getElementById: function (id) { var i = N.findElement(String(id)); return i < 0 ? null : wrap(i); },
    querySelector: function (s) { return query(0, s, false); },
    querySelectorAll: function (s) { return query(0, s, true); },
    getElementsByTagName: function (t) { return query(0, t, true); },
    getElementsByClassName: function (c) { return query(0, '.' + String(c).split(/\s+/).join('.'), true); },
    createElement: function (tag) {
      var i = N.create(String(tag).toLowerCase());
      if (i < 0) throw new RangeError('The document holds too many nodes.');
      return wrap(i);
    },
    createTextNode: function (text) {
      var i = N.createText(String(text));
      if (i < 0) throw new RangeError('The document holds too many nodes.');
      return wrap(i);
    },
    createEvent: function () { return new Event(''); },
    addEventListener: addListener,
    removeEventListener: removeListener,
    dispatchEvent: dispatchEvent,
    _index: 0
  };
  Object.defineProperty(document, 'title', {
    get: function () { return N.getTitle(); },
    set: function (v) { N.setTitle(String(v)); },
    enumerable: true
  });
  Object.defineProperty(document, 'body', { get: function () { var b = N.body(); return b > 0 ? wrap(b) : null; } });
  Object.defineProperty(document, 'documentElement', { get: function () { return wrap(N.children(0, true)[0]); } });
  Object.defineProperty(document, 'head', { get: function () { return query(0, 'head', false); } });
  Object.defineProperty(document, 'activeElement', { get: function () { var f = N.focused(); return f > 0 ? wrap(f) : this.body; } });
  Object.defineProperty(document, 'readyState', { get: function () { return N.ready() ? 'complete' : 'loading'; } });
  Object.defineProperty(document, 'childNodes', { get: function () { return wrapAll(N.children(0, false)); } });
  Object.defineProperty(document, 'children', { get: function () { return wrapAll(N.children(0, true)); } });
  global.document = document;
  global.Node = Node;
  global.Element = Element;
  global.HTMLElement = Element;
  global.Text = Text;
  global.addEventListener = addListener;
  global.removeEventListener = removeListener;
  global.dispatchEvent = dispatchEvent;
  global.getComputedStyle = function (el) { return el.style; };
  global.requestAnimationFrame = function (fn) { return global.setTimeout(function () { fn(Date.now()); }, 16); };
  global.cancelAnimationFrame = function (id) { global.clearTimeout(id); };
  prop(global, 'innerWidth', function () { return N.viewSize()[0]; });
  prop(global, 'innerHeight', function () { return N.viewSize()[1]; });

  return {
    // For the native sweep that lets go of nodes script can no longer reach.
    nodes: { wrappers: wrappers },
    // From the view: an event at node `index` (0: the document, -1: the
    // window); answers 1 when a listener ran, plus 2 when one prevented
    // the default.
    dispatch: function (index, type, init) {
      var target = index < 0 ? global : wrap(index);
      if (!target) return 0;
      var ev = new Event(type, init);
      var ran = target === global ? invoke(global, ev, 2) : dispatch(target, ev);
      ev.target = target;
      return (ran ? 1 : 0) | (ev.defaultPrevented ? 2 : 0);
    }
  };
})
)JS";

std::string StringArg(duk_context* ctx, duk_idx_t index) {
  duk_size_t size = 0;
  const char* text = duk_safe_to_lstring(ctx, index, &size);
  return std::string(text, size);
}

WebView& View(duk_context* ctx) { return ScriptContext::From(ctx)->view(); }
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
       WebView& view = View(ctx);
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

const char* DomBindings::Script() { return kScript; }

void DomBindings::PushNode(duk_context* ctx, int index) { halyx::engine::PushNode(ctx, index); }

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
