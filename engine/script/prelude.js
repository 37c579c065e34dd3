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
      if (!(blob instanceof Blob) || !blob._bytes) throw new TypeError('msSaveBlob needs a Blob');
      return N.saveFile(name === undefined ? '' : String(name), blob.type, blob._bytes);
    };
  }
  global.navigator.languages = [global.navigator.language];

  // Promises. Reactions wait in a job queue that the engine drains each
  // time control comes back to it from script (N.jobsQueued asks for that),
  // so a then() callback never runs inside the code that settled it.
  var jobs = [];
  var unhandled = [];
  function enqueue(job) { jobs.push(job); N.jobsQueued(); }
  function runJobs() {
    while (jobs.length) {
      var batch = jobs;
      jobs = [];
      for (var i = 0; i < batch.length; i++) {
        try { batch[i](); } catch (e) { report(e); }
      }
    }
    var lost = unhandled;
    unhandled = [];
    for (var k = 0; k < lost.length; k++) {
      if (!lost[k]._handled) N.console(3, 'Uncaught (in promise) ' + describe(lost[k]._value));
    }
  }
  function isPromise(p) { return p instanceof Promise && p._reactions !== undefined; }
  function Promise(executor) {
    if (!(this instanceof Promise)) throw new TypeError('Promise must be called with new');
    if (typeof executor !== 'function') throw new TypeError('Promise resolver is not a function');
    Object.defineProperty(this, '_state', { value: 0, writable: true });
    Object.defineProperty(this, '_value', { value: undefined, writable: true });
    Object.defineProperty(this, '_reactions', { value: [], writable: true });
    Object.defineProperty(this, '_handled', { value: false, writable: true });
    var fns = resolvers(this);
    try { executor(fns.resolve, fns.reject); } catch (e) { fns.reject(e); }
  }
  function react(p, r) {
    enqueue(function () {
      var handler = p._state === 1 ? r.fulfilled : r.rejected;
      if (typeof handler !== 'function') {
        if (p._state === 1) r.resolve(p._value); else r.reject(p._value);
        return;
      }
      var result;
      try { result = handler(p._value); } catch (e) { r.reject(e); return; }
      r.resolve(result);
    });
  }
  function settle(p, state, value) {
    if (p._state !== 0) return;
    p._state = state;
    p._value = value;
    var reactions = p._reactions;
    p._reactions = [];
    if (state === 2 && !p._handled) { unhandled.push(p); N.jobsQueued(); }
    for (var i = 0; i < reactions.length; i++) react(p, reactions[i]);
  }
  // A thenable's then() runs from the queue too, so a value that merely
  // looks like a promise cannot run code inside resolve().
  function resolveWith(p, v) {
    if (v === p) return settle(p, 2, new TypeError('A promise cannot be resolved with itself'));
    if (v !== null && (typeof v === 'object' || typeof v === 'function')) {
      var then;
      try { then = v.then; } catch (e) { return settle(p, 2, e); }
      if (typeof then === 'function') {
        enqueue(function () {
          var fns = resolvers(p);
          try { then.call(v, fns.resolve, fns.reject); } catch (e) { fns.reject(e); }
        });
        return;
      }
    }
    settle(p, 1, v);
  }
  function resolvers(p) {
    var done = false;
    return {
      resolve: function (v) { if (!done) { done = true; resolveWith(p, v); } },
      reject: function (e) { if (!done) { done = true; settle(p, 2, e); } }
    };
  }
  Promise.prototype.then = function (fulfilled, rejected) {
    if (!isPromise(this)) throw new TypeError('then called on an object that is not a Promise');
    var r = { fulfilled: fulfilled, rejected: rejected };
    var next = new Promise(function (resolve, reject) { r.resolve = resolve; r.reject = reject; });
    this._handled = true;
    if (this._state === 0) this._reactions.push(r); else react(this, r);
    return next;
  };
  Promise.prototype['catch'] = function (rejected) { return this.then(undefined, rejected); };
  Promise.prototype['finally'] = function (fn) {
    if (typeof fn !== 'function') return this.then(fn, fn);
    return this.then(function (v) { return Promise.resolve(fn()).then(function () { return v; }); },
                     function (e) { return Promise.resolve(fn()).then(function () { throw e; }); });
  };
  Promise.resolve = function (v) { return isPromise(v) ? v : new Promise(function (resolve) { resolve(v); }); };
  Promise.reject = function (e) { return new Promise(function (resolve, reject) { reject(e); }); };
  Promise.all = function (list) {
    return new Promise(function (resolve, reject) {
      var items = Array.prototype.slice.call(list), values = [], left = items.length;
      if (left === 0) return resolve(values);
      items.forEach(function (item, i) {
        Promise.resolve(item).then(function (v) { values[i] = v; if (--left === 0) resolve(values); }, reject);
      });
    });
  };
  Promise.race = function (list) {
    return new Promise(function (resolve, reject) {
      Array.prototype.slice.call(list).forEach(function (item) { Promise.resolve(item).then(resolve, reject); });
    });
  };
  global.Promise = Promise;

  function decodeText(bytes) { return new TextDecoder('utf-8').decode(bytes); }

  // fetch(), for the client's own page only (the engine decides which
  // addresses; see FetchPolicy): GET, or POST of a text body; the answer's
  // text, JSON or bytes.
  var requests = {};
  var nextRequest = 1;
  function headerOf(init, name) {
    var headers = init && init.headers;
    if (!headers || typeof headers !== 'object') return '';
    if (typeof headers.get === 'function') return headers.get(name) || '';
    for (var key in headers) if (String(key).toLowerCase() === name) return String(headers[key]);
    return '';
  }
  function Headers(contentType) {
    Object.defineProperty(this, '_type', { value: contentType });
  }
  Headers.prototype.get = function (name) {
    return String(name).toLowerCase() === 'content-type' && this._type ? this._type : null;
  };
  Headers.prototype.has = function (name) { return this.get(name) !== null; };
  function Response(answer) {
    this.status = answer.status;
    this.statusText = answer.statusText;
    this.ok = answer.status >= 200 && answer.status <= 299;
    this.url = answer.url;
    this.redirected = answer.redirected;
    this.type = 'basic';
    this.headers = new Headers(answer.contentType);
    this.bodyUsed = false;
    Object.defineProperty(this, '_bytes', { value: new Uint8Array(answer.body) });
  }
  function consume(response) {
    if (response.bodyUsed) return Promise.reject(new TypeError('The body of this answer was already read'));
    response.bodyUsed = true;
    return Promise.resolve(response._bytes);
  }
  Response.prototype.text = function () { return consume(this).then(decodeText); };
  Response.prototype.json = function () { return this.text().then(function (t) { return JSON.parse(t); }); };
  Response.prototype.arrayBuffer = function () {
    return consume(this).then(function (b) { return b.buffer.slice(0); });
  };
  if (N.mainView()) {
    global.fetch = function (input, init) {
      return new Promise(function (resolve, reject) {
        var url = String(input !== null && typeof input === 'object' && 'url' in input ? input.url : input);
        url = url.replace(/^\s+|\s+$/g, '');
        var method = init && init.method !== undefined ? String(init.method).toUpperCase() : 'GET';
        if (method !== 'GET' && method !== 'POST') throw new TypeError('fetch supports GET and POST, not ' + method);
        var body = init && init.body !== undefined && init.body !== null ? String(init.body) : '';
        if (method === 'GET' && body !== '') throw new TypeError('fetch: a GET request has no body');
        var id = nextRequest++;
        var refused = N.fetch(id, method, url, body, headerOf(init, 'content-type'));
        if (refused) throw new TypeError('fetch ' + url + ' refused: ' + refused);
        requests[id] = { resolve: resolve, reject: reject };
      });
    };
    global.Response = Response;
    global.Headers = Headers;
  }
  function fetched(id, answer) {
    var request = requests[id];
    delete requests[id];
    if (!request) return;
    if (answer.error) request.reject(new TypeError('fetch failed: ' + answer.error));
    else request.resolve(new Response(answer));
  }

  // Files the person picked in an <input type=file>: a File carries the
  // engine's id of the pick, never a path, and FileReader reads only such
  // a pick (or a Blob's own bytes).
  function File(parts, name, options) {
    Blob.call(this, parts, options);
    Object.defineProperty(this, 'name', { value: String(name), enumerable: true });
  }
  File.prototype = Object.create(Blob.prototype);
  File.prototype.constructor = File;
  global.File = File;
  function pickedFile(id, name, size) {
    var file = Object.create(File.prototype);
    Object.defineProperty(file, '_pick', { value: id });
    Object.defineProperty(file, 'name', { value: name, enumerable: true });
    Object.defineProperty(file, 'size', { value: size, enumerable: true });
    Object.defineProperty(file, 'type', { value: '', enumerable: true });
    return file;
  }
  var picks = {};
  function fileList(files) {
    files.item = function (i) { return files[i] || null; };
    return files;
  }
  Object.defineProperty(global.Element.prototype, 'files', {
    get: function () {
      var pick = N.pickedFile(this._index);
      if (pick) return fileList([picks[pick[0]] = picks[pick[0]] || pickedFile(pick[0], pick[1], pick[2])]);
      var type = String(this.getAttribute('type')).toLowerCase();
      return N.tag(this._index) === 'input' && type === 'file' ? fileList([]) : null;
    },
    configurable: true
  });

  var reads = {};
  var nextRead = 1;
  function readError(name, message) { var e = new Error(message); e.name = name; return e; }
  function FileReader() {
    this.readyState = 0;
    this.result = null;
    this.error = null;
    this.onloadstart = this.onload = this.onerror = this.onloadend = this.onabort = this.onprogress = null;
    Object.defineProperty(this, '_listeners', { value: {} });
    Object.defineProperty(this, '_read', { value: 0, writable: true });
  }
  FileReader.EMPTY = 0;
  FileReader.LOADING = 1;
  FileReader.DONE = 2;
  FileReader.prototype.addEventListener = function (type, fn) {
    var list = this._listeners[type] = this._listeners[type] || [];
    if (typeof fn === 'function' && list.indexOf(fn) < 0) list.push(fn);
  };
  FileReader.prototype.removeEventListener = function (type, fn) {
    var list = this._listeners[type] || [];
    var at = list.indexOf(fn);
    if (at >= 0) list.splice(at, 1);
  };
  function fireReader(reader, type) {
    var event = { type: type, target: reader, currentTarget: reader };
    var handlers = (reader._listeners[type] || []).slice();
    if (typeof reader['on' + type] === 'function') handlers.unshift(reader['on' + type]);
    for (var i = 0; i < handlers.length; i++) {
      try { handlers[i].call(reader, event); } catch (e) { report(e); }
    }
  }
  function finishRead(reader, error, result) {
    reader._read = 0;
    reader.readyState = 2;
    if (error) {
      reader.error = error;
      fireReader(reader, 'error');
    } else {
      reader.result = result;
      fireReader(reader, 'load');
    }
    fireReader(reader, 'loadend');
  }
  function startRead(reader, blob, asText) {
    if (reader.readyState === 1) throw readError('InvalidStateError', 'The reader is already reading');
    if (!(blob instanceof Blob) || (blob._pick === undefined && !blob._bytes)) {
      throw new TypeError('FileReader reads a Blob or a File');
    }
    reader.readyState = 1;
    reader.result = null;
    reader.error = null;
    var id = nextRead++;
    reader._read = id;
    reads[id] = { reader: reader, text: asText };
    if (blob._pick !== undefined) {
      var refused = N.readFile(id, Number(blob._pick));
      if (refused) enqueue(function () { fileRead(id, refused, null); });
    } else {
      var bytes = blob._bytes;
      enqueue(function () { fileRead(id, '', bytes.buffer.slice(0)); });
    }
  }
  function fileRead(id, error, buffer) {
    var read = reads[id];
    delete reads[id];
    if (!read || read.reader._read !== id) return;
    if (error) {
      finishRead(read.reader, readError('NotReadableError', error), null);
    } else {
      finishRead(read.reader, null, read.text ? decodeText(new Uint8Array(buffer)) : buffer);
    }
  }
  FileReader.prototype.readAsText = function (blob) { startRead(this, blob, true); };
  FileReader.prototype.readAsArrayBuffer = function (blob) { startRead(this, blob, false); };
  FileReader.prototype.abort = function () {
    if (this.readyState !== 1) return;
    this._read = 0;
    this.readyState = 2;
    this.result = null;
    fireReader(this, 'abort');
    fireReader(this, 'loadend');
  };
  global.FileReader = FileReader;

  return {
    dispatch: dom.dispatch,
    nodes: dom.nodes,
    jobs: runJobs,
    fetched: fetched,
    fileRead: fileRead,
    loaded: function () {
      dom.dispatch(0, 'DOMContentLoaded', { bubbles: true, cancelable: false });
      dom.dispatch(-1, 'load', { cancelable: false });
    }
  };
})
