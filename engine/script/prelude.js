// The page environment, written in script over a few native primitives (N).
// It runs once per page with the global object and N, and answers the hooks
// through which the view delivers events. Compiled into the engine (see
// engine/CMakeLists.txt) and evaluated as one expression: the function.
(function (global, N, makeDom) {
  function describe(v) {
    if (typeof v === 'string') return v;
    if (v instanceof Error) return String(v);
    if (v !== null && typeof v === 'object') {
      try { var s = JSON.stringify(v); if (s !== undefined) return s; } catch (e) {}
    }
    return String(v);
  }
  function format(args) {
    var out = [];
    for (var i = 0; i < args.length; i++) out.push(describe(args[i]));
    return out.join(' ');
  }
  function report(e) { N.console(3, 'Uncaught ' + describe(e)); }
  function writer(level) { return function () { N.console(level, format(arguments)); }; }
  global.window = global;
  global.self = global;
  global.console = { log: writer(0), debug: writer(0), info: writer(1), warn: writer(2), error: writer(3) };

  function timer(repeat) {
    return function (fn, ms) {
      if (typeof fn === 'string') { var src = fn; fn = function () { (0, eval)(src); }; }
      if (typeof fn !== 'function') return 0;
      var extra = Array.prototype.slice.call(arguments, 2);
      return N.setTimer(function () { fn.apply(global, extra); }, Math.max(0, Number(ms) || 0), repeat);
    };
  }
  global.setTimeout = timer(false);
  global.setInterval = timer(true);
  global.clearTimeout = global.clearInterval = function (id) { N.clearTimer(Number(id) || 0); };
  global.alert = function (m) { N.alert(m === undefined ? '' : String(m)); };
  global.confirm = function (m) { return N.confirm(m === undefined ? '' : String(m)); };
  global.prompt = function (m, d) {
    return N.prompt(m === undefined ? '' : String(m), d === undefined ? '' : String(d));
  };

  var dom = makeDom(global, N, report);

  global.localStorage = {
    getItem: function (k) { return N.storageGet(String(k)); },
    setItem: function (k, v) { N.storageSet(String(k), String(v)); },
    removeItem: function (k) { N.storageRemove(String(k)); },
    clear: function () { N.storageClear(); }
  };

  global.location = {};
  Object.defineProperty(global.location, 'href', { get: function () { return N.getUrl(); }, enumerable: true });
  global.location.toString = function () { return N.getUrl(); };

  // A Blob holds a copy of its parts' bytes (strings as UTF-8).
  function bytesOf(part) {
    if (part instanceof Blob) return part._bytes;
    if (part instanceof ArrayBuffer) return new Uint8Array(part.slice(0));
    if (ArrayBuffer.isView(part)) return new Uint8Array(part.buffer.slice(part.byteOffset, part.byteOffset + part.byteLength));
    var text = unescape(encodeURIComponent(String(part)));
    var out = new Uint8Array(text.length);
    for (var i = 0; i < text.length; i++) out[i] = text.charCodeAt(i);
    return out;
  }
  function Blob(parts, options) {
    if (!(this instanceof Blob)) throw new TypeError('Blob must be called with new');
    var chunks = [], size = 0;
    for (var i = 0; parts && i < parts.length; i++) {
      var b = bytesOf(parts[i]);
      chunks.push(b);
      size += b.length;
    }
    var all = new Uint8Array(size), at = 0;
    for (var j = 0; j < chunks.length; j++) { all.set(chunks[j], at); at += chunks[j].length; }
    Object.defineProperty(this, '_bytes', { value: all });
    Object.defineProperty(this, 'size', { value: size, enumerable: true });
    var type = options && options.type !== undefined ? String(options.type).toLowerCase() : '';
    Object.defineProperty(this, 'type', { value: type, enumerable: true });
  }
  global.Blob = Blob;

  global.navigator = {
    language: N.language(),
    userAgent: 'wke',
  };
  // Offers the blob for saving: the person picks the file in the save
  // dialog; true once it is written. The client's own page only.
  if (N.mainView()) {
    global.navigator.msSaveBlob = function (blob, name) {
      if (!(blob instanceof Blob)) throw new TypeError('msSaveBlob needs a Blob');
      return N.saveFile(name === undefined ? '' : String(name), blob.type, blob._bytes);
    };
  }
  global.navigator.languages = [global.navigator.language];

  return {
    dispatch: dom.dispatch,
    nodes: dom.nodes,
    loaded: function () {
      dom.dispatch(0, 'DOMContentLoaded', { bubbles: true, cancelable: false });
      dom.dispatch(-1, 'load', { cancelable: false });
    }
  };
})
