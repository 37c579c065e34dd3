// The DOM as a page's script sees it: Node, Element and Text wrappers over
// the document's node ids (index and generation, see DomBindings), document,
// and events with capture and bubbling, over the native primitives of
// DomBindings (N). Compiled into the engine (see engine/CMakeLists.txt) and
// evaluated as one expression: the function, called with the global object,
// N and the error reporter.
(function (global, N, report) {
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
