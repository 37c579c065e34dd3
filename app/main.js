// The client's page: tunnel state and the connect control, configurations,
// measured servers, reachability, device, logs, dropped files, help. ES5.
//
// Everything shown comes from HalyxDispatch (published by the client once
// the document is ready, so it is looked for until it is there), from the
// events the client hands to HalyxBridge.PostResult, from configuration
// files the person adds and from the subscription document of the provider
// the person subscribed to (docs/subscription.md); a missing piece shows an
// empty state, never invented data.
//
// The title, which the client copies into the window caption, always reads
// "QuorVPN · <State>[ · <measured>/<total> servers]", the state in the
// page's language ("Error: <sentence>" for a failure).
var Page = (function () {
  var DOT = ' \u00b7 ';
  // The service answers QueryTunnel once a second while connected; this
  // long without one means it is gone.
  var SERVICE_SILENCE_MS = 3500;
  // A start or stop the service never answers ends as an error.
  var ANSWER_TIMEOUT_MS = 20000;
  var LANG_KEY = 'quorvpn.language';

  var lang = 'en';
  var S = STRINGS.en;

  var tunnel = {
    heard: false,        // a QueryTunnel answer arrived since the last silence
    lastHeard: 0,
    running: false,
    config: '',          // the config the service reports
    pending: null,       // 'setconfig', 'connecting', 'disconnecting' or null
    pendingSince: 0,
    error: null,         // {key, args} of the sentence shown, or null
    cancelled: false,    // the person cancelled a start still in flight
    started: 0
  };
  var configs = [];
  var chosen = -1;
  var configNote = null;  // {key, args}
  var game = null;        // {id, route, servers: [{name, title, lag, dropRate, measured, order}]}
  var gameError = null;
  var media = null;       // {id, route, servers: [{name, title, status, checked}]}
  var mediaError = null;
  var drops = null;       // last DragAndDrop files
  var logArchive = null;  // ArrayBuffer
  var deviceNote = null;  // {key, args, bad}
  var notice = '';

  function $(id) { return document.getElementById(id); }

  function format(text, args) {
    return String(text).replace(/\{(\w+)\}/g, function (all, name) {
      return args && args[name] !== undefined ? String(args[name]) : all;
    });
  }
  function say(key, args) { return format(S[key] !== undefined ? S[key] : key, args); }

  function dispatch() { return typeof HalyxDispatch !== 'undefined' ? HalyxDispatch : null; }
  // Calls a native function; a missing object or function is a sentence,
  // not an exception out of an event handler.
  function call(name) {
    var d = dispatch();
    if (!d || typeof d[name] !== 'function') return { failed: true };
    var args = Array.prototype.slice.call(arguments, 1);
    try {
      return { value: d[name].apply(d, args) };
    } catch (e) {
      return { failed: true };
    }
  }
  function log(text) { call('LogJSConsole', 'page: ' + text); }

  // Writes only what changed: the state is rendered once a second, and every
  // write makes the engine style and lay the page out again.
  function setText(node, text) {
    if (node.textContent !== text) node.textContent = text;
  }
  function setClass(node, name) {
    if (node.className !== name) node.className = name;
  }
  function setAttr(node, name, value) {
    if (node.getAttribute(name) !== value) node.setAttribute(name, value);
  }

  function clear(node) {
    while (node.firstChild) node.removeChild(node.firstChild);
  }
  function element(tag, className, text) {
    var node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  // List rows are kept by server name and put back in order rather than
  // made anew: the engine keeps every node a page has made, removed ones
  // included, up to a limit, and the lists are drawn again on every result.
  // A cache that somehow grows past any real list starts over.
  function keptRows(make) {
    var rows = {}, count = 0;
    return function (name) {
      var key = 'k' + name;
      if (!rows.hasOwnProperty(key)) {
        if (count >= 2000) { rows = {}; count = 0; }
        var r = make();
        r.row.setAttribute('data-name', name);
        rows[key] = r;
        count++;
      }
      return rows[key];
    };
  }
  var serverRow = keptRows(function () {
    var r = { row: element('div', 'row'), title: element('span', 'title'), mark: element('span', 'mark'),
              name: element('span', 'name'), lag: element('span', 'lag'), loss: element('span', 'loss') };
    // A screen reader reads the row as one sentence (its aria-label).
    r.row.setAttribute('role', 'listitem');
    r.title.appendChild(r.name);
    r.row.appendChild(r.title);
    r.row.appendChild(r.lag);
    r.row.appendChild(r.loss);
    return r;
  });
  var mediaRow = keptRows(function () {
    var r = { row: element('div', 'row'), title: element('span', 'title'), status: element('span', 'status') };
    r.row.setAttribute('role', 'listitem');
    r.row.appendChild(r.title);
    r.row.appendChild(r.status);
    return r;
  });

  // ---- result codes as sentences ----
  function errorFor(type, code) {
    switch (code) {
      case 1: return { key: 'errInvalidArguments' };
      case 2: return { key: 'errConfigFolder' };
      case 3: return { key: type === 'GetLogFiles' ? 'errLogArchive' : 'errPayload' };
      case 101: return { key: type === 'StartTunnel' ? 'errAlreadyRunning' : 'errNotRunning' };
      case 102: return { key: 'errServiceUnavailable' };
      case 105: return { key: 'errEmptyConfig' };
      case 106: return { key: 'errUnnamedConfig' };
      case 10001: return { key: 'errSendFailed' };
    }
    var args = { code: code, type: String(type) };
    if (type === 'StartTunnel') return { key: 'errStart', args: args };
    if (type === 'StopTunnel') return { key: 'errStop', args: args };
    if (type === 'SetConfig' || type === 'LoadConfig') return { key: 'errSetConfig', args: args };
    if (type === 'QueryTunnel') return { key: 'errQuery', args: args };
    return { key: 'errOther', args: args };
  }

  // ---- tunnel state ----
  function stateKey() {
    if (tunnel.error) return 'error';
    if (tunnel.pending === 'disconnecting') return 'disconnecting';
    if (tunnel.pending) return 'connecting';
    if (!tunnel.heard) return 'unavailable';
    return tunnel.running ? 'connected' : 'stopped';
  }

  function stateText() {
    var key = stateKey();
    if (key === 'error') return S.errorPrefix + say(tunnel.error.key, tunnel.error.args);
    return S[key];
  }

  function measuredCount() {
    var n = 0;
    for (var i = 0; game && i < game.servers.length; i++) {
      if (game.servers[i].measured) n++;
    }
    return n;
  }

  function updateTitle() {
    var title = 'QuorVPN' + DOT + stateText();
    if (game) title += DOT + measuredCount() + '/' + game.servers.length + S.serversSuffix;
    if (document.title !== title) document.title = title;
  }

  function configTitle(name) {
    for (var i = 0; i < configs.length; i++) {
      if (configs[i].name === name) return configs[i].title || configs[i].name;
    }
    return '';
  }

  function renderTunnel() {
    var key = stateKey();
    var left = $('left');
    setClass(left, key === 'connected' ? 'connected'
        : key === 'connecting' || key === 'disconnecting' ? 'busy'
        : key === 'error' ? 'failed'
        : key === 'unavailable' ? 'unavailable' : '');
    setText($('state'), key === 'error' ? S.error : S[key]);
    var hint;
    if (key === 'error') {
      hint = say(tunnel.error.key, tunnel.error.args);
    } else if (key === 'connected') {
      var shown = configTitle(baseName(tunnel.config)) || (chosen >= 0 ? configs[chosen].title : '');
      hint = shown ? say('hintConnectedWith', { config: shown }) : S.hintConnected;
    } else if (key === 'unavailable') {
      hint = new Date().getTime() - tunnel.started < SERVICE_SILENCE_MS ? S.hintWaiting : S.hintUnavailable;
    } else {
      hint = S[{ stopped: 'hintStopped', connecting: 'hintConnecting', disconnecting: 'hintDisconnecting' }[key]];
    }
    setText($('hint'), hint);
    setText($('connectLabel'), key === 'connected' ? S.disconnect
        : key === 'connecting' ? S.cancel
        : key === 'error' ? S.retry : S.connect);
    if ($('connect').disabled !== (key === 'disconnecting')) $('connect').disabled = key === 'disconnecting';
    renderTrace(key === 'connected');
    updateTitle();
  }

  // ---- diagnostics: a route trace to the server in use ----
  var tracing = false;

  // "Endpoint = host:port" of a configuration ("[v6]:port" too); null when
  // it names none.
  function endpointOf(text) {
    var m = /^[ \t]*Endpoint[ \t]*=[ \t]*(\[[0-9A-Fa-f:.]+\]|[^\s:\[\]]+):(\d{1,5})[ \t]*\r?$/m.exec(String(text || ''));
    if (!m || Number(m[2]) < 1 || Number(m[2]) > 65535) return null;
    return { host: m[1].replace(/^\[|\]$/g, ''), port: Number(m[2]) };
  }

  // The configuration the service reports, else the chosen one.
  function configInUse() {
    var name = baseName(tunnel.config);
    for (var i = 0; i < configs.length; i++) {
      if (configs[i].name === name) return configs[i];
    }
    return chosen >= 0 ? configs[chosen] : null;
  }

  // Offered while connected; a trace ends with the connection (the service
  // stops it with the tunnel).
  function renderTrace(connected) {
    if (!connected) tracing = false;
    var button = $('traceRoute');
    if (button.hidden !== !connected) button.hidden = !connected;
    setClass($('right'), connected ? 'traceable' : '');
    setText(button, tracing ? S.traceStop : S.traceRoute);
  }

  function toggleTrace() {
    if (tracing) {
      tracing = false;
      renderTunnel();
      return showDeviceNote(call('StopTracing').failed ? 'errNoDispatch' : 'traceStopped', null, false);
    }
    var config = configInUse();
    var target = config ? endpointOf(config.text) : null;
    if (!target) return showDeviceNote('traceNoServer', null, true);
    if (call('StartTracing', target.host, target.port).failed) return showDeviceNote('errNoDispatch', null, true);
    tracing = true;
    renderTunnel();
    showDeviceNote('traceStarted', { host: target.host }, false);
  }

  // Only a refusal comes back (not running, no service, not sent).
  function onTraceRefused(o) {
    if (typeof o.result !== 'number' || o.result === 0) return;
    tracing = false;
    renderTunnel();
    var error = errorFor('StartTracing', o.result);
    showDeviceNote(error.key, error.args, true);
  }

  // The file name without folder and ".conf", as the service reports paths.
  function baseName(path) {
    var name = String(path || '').replace(/^.*[\\\/]/, '');
    return name.replace(/\.conf$/i, '');
  }

  function fail(error) {
    tunnel.pending = null;
    tunnel.error = error;
    log('error ' + say(error.key, error.args));
    renderTunnel();
  }

  function onTunnelEvent(o) {
    var code = o.result;
    if (o.type === 'QueryTunnel') {
      if (code === 0 && o.status) {
        tunnel.heard = true;
        tunnel.lastHeard = new Date().getTime();
        var running = o.status.running === true;
        tunnel.config = typeof o.status.config === 'string' ? o.status.config : '';
        if (running !== tunnel.running) {
          tunnel.running = running;
          // A change the page did not ask for (another window, the tray)
          // settles whatever it waited for.
          if (running && tunnel.pending === 'connecting') tunnel.pending = null;
          if (!running && tunnel.pending === 'disconnecting') tunnel.pending = null;
          if (running) tunnel.error = null;
        }
      } else if (code === 102) {
        tunnel.heard = false;
      } else if (typeof code === 'number' && code !== 0) {
        tunnel.error = errorFor('QueryTunnel', code);
      }
      renderTunnel();
      return;
    }
    if (typeof code !== 'number') return;
    if (o.type === 'SetConfig') {
      if (tunnel.pending !== 'setconfig') return;
      if (code !== 0) return fail(errorFor('SetConfig', code));
      tunnel.pending = 'connecting';
      tunnel.pendingSince = new Date().getTime();
      call('StartTunnel');
    } else if (o.type === 'StartTunnel') {
      if (code === 0) {
        tunnel.running = true;
        tunnel.error = null;
        if (tunnel.pending === 'connecting' || tunnel.pending === 'setconfig') tunnel.pending = null;
        if (tunnel.cancelled) {
          tunnel.cancelled = false;
          tunnel.pending = 'disconnecting';
          tunnel.pendingSince = new Date().getTime();
          call('StopTunnel');
        }
      } else if (code === 101 && tunnel.running) {
        tunnel.pending = null;  // it is up already: nothing to explain
      } else {
        if (code === 102) tunnel.heard = false;
        return fail(errorFor('StartTunnel', code));
      }
    } else if (o.type === 'StopTunnel') {
      if (code === 0 || (code === 101 && !tunnel.running)) {
        tunnel.running = false;
        if (tunnel.pending === 'disconnecting') tunnel.pending = null;
      } else {
        if (code === 102) tunnel.heard = false;
        return fail(errorFor('StopTunnel', code));
      }
    } else if (o.type === 'LoadConfig') {
      if (code !== 0) {
        configNote = { key: errorFor('LoadConfig', code).key, args: errorFor('LoadConfig', code).args, bad: true };
        renderConfigs();
      }
      return;
    } else {
      return;
    }
    renderTunnel();
  }

  function onConnectClick() {
    var key = stateKey();
    if (key === 'connected') {
      tunnel.error = null;
      tunnel.pending = 'disconnecting';
      tunnel.pendingSince = new Date().getTime();
      renderTunnel();
      call('StopTunnel');
      return;
    }
    if (key === 'connecting') {
      // Cancelling: stop whatever came up; a start still in flight is
      // answered and then stopped by the next click.
      tunnel.cancelled = tunnel.pending === 'connecting' && !tunnel.running;
      tunnel.pending = tunnel.running ? 'disconnecting' : null;
      tunnel.pendingSince = new Date().getTime();
      renderTunnel();
      if (tunnel.running) call('StopTunnel');
      return;
    }
    if (key === 'disconnecting') return;
    tunnel.error = null;
    tunnel.cancelled = false;
    if (!dispatch()) return fail({ key: 'errNoDispatch' });
    if (chosen < 0) {
      // Without a configuration of its own the page can still start the
      // service's current one, if it has one.
      if (!tunnel.config) return fail({ key: 'errNoConfig' });
      tunnel.pending = 'connecting';
      tunnel.pendingSince = new Date().getTime();
      renderTunnel();
      call('StartTunnel');
      return;
    }
    var config = configs[chosen];
    tunnel.pending = 'setconfig';
    tunnel.pendingSince = new Date().getTime();
    renderTunnel();
    // Failures the client sees at once come back inside this call.
    call('SetConfig', config.name, config.text, '');
  }

  // ---- configurations: the files the person added, the subscription's ----
  var IMPORTED_KEY = 'quorvpn.imported';
  // A configuration is a few hundred bytes; a file far past that is none.
  var CONFIG_TEXT_MAX = 64 * 1024;
  var NAME_MAX = 48;
  var TITLE_MAX = 64;
  var imported = [];        // [{name, title, text}] added from files, kept in IMPORTED_KEY

  // The name the tunnel service files a configuration under, from a file or
  // document name: no folder, letters, digits, '-', '_', '.' and space, at
  // most NAME_MAX, never starting or ending with a dot or space (Windows
  // drops trailing ones, and "." or ".." must not reach a path), never a
  // device's name. '' when nothing is left. A name it gave comes back
  // unchanged.
  function configName(raw) {
    var name = String(raw || '').replace(/^.*[\\\/]/, '');
    name = name.replace(/[^A-Za-z0-9\-_. ]+/g, '-').substring(0, NAME_MAX);
    name = name.replace(/^[. ]+|[. ]+$/g, '');
    // A device's name ("nul", "com1.conf") opens the device, not a file;
    // the tunnel manager refuses such a name.
    return /^(con|prn|aux|nul|com[1-9]|lpt[1-9]) *(\.|$)/i.test(name) ? '_' + name : name;
  }

  function configTitleOf(raw, name) {
    var title = String(raw || '').replace(/^\s+|\s+$/g, '').substring(0, TITLE_MAX);
    return title || name;
  }

  // Whether a configuration's text can be handed on: not empty, within
  // CONFIG_TEXT_MAX, no control characters but tab and line ends, and none
  // of the replacement characters a decoder puts for bytes that are not
  // UTF-8 (a binary file read as text). Gives the sentence's key or ''.
  function configTextFault(text) {
    if (typeof text !== 'string') return 'fileNotText';
    if (text.length > CONFIG_TEXT_MAX) return 'fileTooLarge';
    if (/[\u0000-\u0008\u000e-\u001f\u007f\ufffd]/.test(text)) return 'fileNotText';
    if (!/\S/.test(text)) return 'fileEmpty';
    return '';
  }

  function readImported() {
    var list = null;
    try { list = JSON.parse(localStorage.getItem(IMPORTED_KEY) || '[]'); } catch (e) { list = null; }
    imported = [];
    for (var i = 0; list && typeof list.length === 'number' && i < list.length; i++) {
      var c = list[i];
      // Storage another version or a hand wrote is checked like a file.
      if (c && configName(c.name) === c.name && c.name && !configTextFault(c.text)) {
        imported.push({ name: c.name, title: configTitleOf(c.title, c.name), text: c.text });
      }
    }
  }

  function saveImported() {
    try { localStorage.setItem(IMPORTED_KEY, JSON.stringify(imported)); } catch (e) {}
  }

  // The list shown: the added files first, then what the subscription
  // brought (one the person added wins a name both use); the chosen one
  // stays chosen by name.
  function rebuildConfigs() {
    var before = chosen >= 0 && configs[chosen] ? configs[chosen].name : null;
    configs = [];
    var seen = {};
    var brought = subscription ? subscription.doc.configs : [];
    var all = imported.concat(brought);
    for (var i = 0; i < all.length; i++) {
      if (seen.hasOwnProperty('k' + all[i].name)) continue;
      seen['k' + all[i].name] = true;
      configs.push({ name: all[i].name, title: all[i].title, text: all[i].text, fromFile: i < imported.length });
    }
    chosen = -1;
    for (var j = 0; j < configs.length; j++) {
      if (configs[j].name === before) chosen = j;
    }
    if (chosen < 0 && configs.length) chosen = 0;
  }

  function sizeText(bytes) {
    return bytes < 1024 ? say('bytes', { n: bytes }) : say('kb', { n: Math.max(1, Math.round(bytes / 1024)) });
  }

  function showConfigNote(key, args, bad) {
    configNote = { key: key, args: args, bad: bad };
    renderConfigs();
  }

  // The file the person picked in the open dialog: its name and size are
  // shown at once, its text is checked, kept and handed to LoadConfig.
  function onConfigFile() {
    var input = $('configFile');
    var file = input.files && input.files.length ? input.files[0] : null;
    // The same file can be picked again after it changed.
    try { input.value = ''; } catch (e) {}
    if (file) addConfigFile(file);
  }

  function addConfigFile(file) {
    var shown = { file: String(file.name).substring(0, TITLE_MAX), size: sizeText(Number(file.size) || 0) };
    // Checked before reading: the engine reads a file whole.
    if (Number(file.size) > CONFIG_TEXT_MAX) return showConfigNote('fileTooLarge', shown, true);
    var stem = String(file.name).replace(/^.*[\\\/]/, '').replace(/\.(conf|txt)$/i, '');
    var name = configName(stem) || 'config';
    if (typeof FileReader === 'undefined') return showConfigNote('cannotRead', shown, true);
    var reader = new FileReader();
    reader.onload = function () {
      var text = typeof reader.result === 'string' ? reader.result.replace(/^\ufeff/, '') : null;
      var fault = configTextFault(text);
      if (fault) return showConfigNote(fault, shown, true);
      var entry = { name: name, title: configTitleOf(stem, name), text: text };
      for (var i = 0; i < imported.length; i++) {
        if (imported[i].name === name) imported.splice(i--, 1);
      }
      imported.push(entry);
      saveImported();
      chosen = -1;
      rebuildConfigs();
      for (var j = 0; j < configs.length; j++) {
        if (configs[j].name === name) choose(j, true);
      }
      configNote = { key: 'fileAdded', args: { file: shown.file, size: shown.size, config: entry.title } };
      if (tunnel.running) configNote.extra = 'configNextTime';
      log('configuration file ' + shown.file + ' (' + shown.size + ') added as ' + name);
      renderConfigs();
    };
    reader.onerror = function () { showConfigNote('cannotRead', shown, true); };
    try {
      reader.readAsText(file);
    } catch (e) {
      showConfigNote('cannotRead', shown, true);
    }
  }

  // ---- subscription ----
  // A provider's address gives a document (docs/subscription.md): its
  // configurations, its sealed server and reachability lists, a notice and
  // how often to look again. The last good copy is kept in storage and
  // stays in use when a refresh fails.
  var SUBSCRIPTION_KEY = 'quorvpn.subscription';
  var DOCUMENT_MAX = 1024 * 1024;     // characters of the document
  var SEALED_MAX = 512 * 1024;        // hexadecimal characters of one sealed list
  var DOCUMENT_CONFIGS_MAX = 32;
  var PROVIDER_MAX = 64;
  var URL_MAX = 2048;
  var REFRESH_MIN_S = 300;            // a provider cannot make every client ask more often
  var REFRESH_MAX_S = 7 * 86400;
  var FETCH_DEADLINE_MS = 20000;      // a slow provider counts as a failed refresh
  var RETRY_MS = 5 * 60 * 1000;       // after a failure, sooner than the interval
  var SEALED_ID = 'subscription';
  var CHECK_ID = 'subscription-check';
  var NOTICE_ID = 'subscription-notice';
  var subscription = null;  // {url, doc, fetchedAt, failure: {key, args} | null, failedAt}
  var subscribeNote = null; // {key, args, bad} while not subscribed
  var refreshing = 0;       // the generation of the request in flight, 0 for none
  var generations = 0;
  var refreshTimer = null;
  var sealedCheck = null;   // {text} while a sealed list is opened to check it
  var listsWaiting = false; // a refresh brought other lists while the old ones were measured

  function isAddress(url) {
    return url.length <= URL_MAX && (/^https:\/\/[^\s\/?#@]+(\/\S*)?$/i.test(url) ||
        /^http:\/\/(127\.0\.0\.1|localhost|\[::1\])(:\d{1,5})?(\/\S*)?$/i.test(url));
  }

  // Opens a sealed list through SetAdLocal, which hands the plain text back
  // (or its failure) before it returns; null when it does not open.
  function openSealed(hex) {
    var check = { text: null };
    sealedCheck = check;
    call('SetAdLocal', CHECK_ID, hex);
    sealedCheck = null;
    return check.text;
  }

  // The number of entries of a sealed measurement list, or -1 when it does
  // not open or is not such a list.
  function sealedCount(hex) {
    var text = openSealed(hex);
    if (text === null) return -1;
    var list = null;
    try { list = JSON.parse(text); } catch (e) { return -2; }
    return list && list.servers && typeof list.servers.length === 'number' ? list.servers.length : -2;
  }

  function isSealed(value) {
    return typeof value === 'string' && value.length >= 32 && value.length <= SEALED_MAX &&
        value.length % 2 === 0 && /^[0-9A-Fa-f]+$/.test(value);
  }

  // The document's text to {doc} or {failure}.
  function readDocument(text) {
    if (typeof text !== 'string') return { failure: { key: 'subGarbage' } };
    if (text.length > DOCUMENT_MAX) return { failure: { key: 'subTooLarge' } };
    var d = null;
    try { d = JSON.parse(text); } catch (e) { return { failure: { key: 'subGarbage' } }; }
    if (!d || typeof d !== 'object' || d.format !== 'quorvpn-subscription') return { failure: { key: 'subGarbage' } };
    if (d.version !== 1) return { failure: { key: 'subVersion', args: { version: String(d.version) } } };
    var shape = { failure: { key: 'subShape' } };
    if (typeof d.provider !== 'string' || !/\S/.test(d.provider) || d.provider.length > PROVIDER_MAX) return shape;
    if (typeof d.refresh !== 'number' || !(d.refresh > 0)) return shape;
    var list = d.configurations === undefined ? [] : d.configurations;
    if (!list || typeof list.length !== 'number' || list.length > DOCUMENT_CONFIGS_MAX) return shape;
    var doc = { provider: d.provider.replace(/^\s+|\s+$/g, ''),
                refresh: Math.min(REFRESH_MAX_S, Math.max(REFRESH_MIN_S, Math.round(d.refresh))),
                configs: [], servers: '', reachability: '', notice: '', serverCount: 0, reachCount: 0 };
    var names = {};
    for (var i = 0; i < list.length; i++) {
      var c = list[i];
      if (!c || typeof c.name !== 'string' || configTextFault(c.text)) return shape;
      var name = configName(c.name);
      if (!name || names.hasOwnProperty('k' + name)) return shape;
      names['k' + name] = true;
      doc.configs.push({ name: name, title: configTitleOf(typeof c.title === 'string' ? c.title : '', name),
                         text: c.text });
    }
    var parts = ['servers', 'reachability', 'notice'];
    for (var p = 0; p < parts.length; p++) {
      if (d[parts[p]] === undefined) continue;
      if (!isSealed(d[parts[p]])) return shape;
      doc[parts[p]] = d[parts[p]];
    }
    if (!doc.configs.length && !doc.servers && !doc.reachability) return shape;
    // Every sealed part must open with this client's key before anything
    // of the document is used.
    var sealedFailure = { failure: { key: 'subKey' } };
    if (doc.servers && (doc.serverCount = sealedCount(doc.servers)) < 0) {
      return doc.serverCount === -1 ? sealedFailure : shape;
    }
    if (doc.reachability && (doc.reachCount = sealedCount(doc.reachability)) < 0) {
      return doc.reachCount === -1 ? sealedFailure : shape;
    }
    if (doc.notice && openSealed(doc.notice) === null) return sealedFailure;
    return { doc: doc };
  }

  // The stored subscription. Its copy is checked again, as this version may
  // open sealed lists with another key; when it does not pass, its address
  // is given back, to be asked afresh, and '' otherwise.
  function readStoredSubscription() {
    var stored = null;
    try { stored = JSON.parse(localStorage.getItem(SUBSCRIPTION_KEY) || 'null'); } catch (e) { stored = null; }
    subscription = null;
    if (!stored || typeof stored.url !== 'string' || !isAddress(stored.url)) return '';
    var read = typeof stored.text === 'string' ? readDocument(stored.text) : {};
    if (!read.doc) return stored.url;
    subscription = { url: stored.url, text: stored.text, doc: read.doc, fetchedAt: Number(stored.fetchedAt) || 0,
                     failure: stored.failure && typeof stored.failure.key === 'string' ? stored.failure : null,
                     failedAt: Number(stored.failedAt) || 0 };
    return '';
  }

  function saveSubscription() {
    try {
      if (!subscription) {
        localStorage.removeItem(SUBSCRIPTION_KEY);
        return;
      }
      localStorage.setItem(SUBSCRIPTION_KEY, JSON.stringify({
        url: subscription.url, text: subscription.text, fetchedAt: subscription.fetchedAt,
        failure: subscription.failure, failedAt: subscription.failedAt }));
    } catch (e) {}
  }

  // Hands the subscription's sealed lists to the client, which measures
  // them; the notice goes to the header.
  function handLists() {
    listsWaiting = false;
    if (!subscription) return;
    var doc = subscription.doc;
    if (doc.servers) call('SetAdInfo', SEALED_ID, doc.servers);
    if (doc.reachability) call('SetAdGlobal', SEALED_ID, doc.reachability);
    if (doc.notice) call('SetAdLocal', NOTICE_ID, doc.notice);
  }

  function measuringSubscription() {
    return !!game && game.id === SEALED_ID && measuredCount() < game.servers.length;
  }

  function schedule() {
    if (refreshTimer !== null) clearTimeout(refreshTimer);
    refreshTimer = null;
    if (!subscription) return;
    var interval = subscription.doc.refresh * 1000;
    var due = subscription.failure ? subscription.failedAt + Math.min(RETRY_MS, interval)
                                   : subscription.fetchedAt + interval;
    var wait = Math.min(interval, Math.max(1000, due - new Date().getTime()));
    refreshTimer = setTimeout(function () {
      refreshTimer = null;
      fetchSubscription(subscription ? subscription.url : '');
    }, wait);
  }

  function failureOf(e) {
    var reason = e && e.message ? String(e.message) : String(e || '');
    return { key: 'subUnreachable', args: { reason: reason.substring(0, 200) } };
  }

  // One request at a time; an answer after the deadline, or for an address
  // given up since, is dropped.
  function fetchSubscription(url) {
    if (!url || refreshing) return;
    var generation = ++generations;
    refreshing = generation;
    var deadline = null;
    function settle(text, failure) {
      if (refreshing !== generation) return;
      refreshing = 0;
      if (deadline !== null) clearTimeout(deadline);
      onFetched(url, text, failure);
    }
    deadline = setTimeout(function () { deadline = null; settle(null, { key: 'subSlow' }); }, FETCH_DEADLINE_MS);
    renderSubscription();
    try {
      fetch(url).then(function (response) {
        if (!response || !response.ok) {
          return settle(null, { key: 'subStatus', args: { status: response ? response.status : 0 } });
        }
        response.text().then(function (text) { settle(text, null); }, function (e) { settle(null, failureOf(e)); });
      }, function (e) { settle(null, failureOf(e)); });
    } catch (e) {
      settle(null, typeof fetch === 'function' ? failureOf(e) : { key: 'subNoFetch' });
    }
  }

  function onFetched(url, text, failure) {
    var current = subscription && subscription.url === url ? subscription : null;
    var read = failure ? { failure: failure } : readDocument(text);
    var now = new Date().getTime();
    if (read.doc) {
      var changed = !current || current.doc.servers !== read.doc.servers ||
          current.doc.reachability !== read.doc.reachability || current.doc.notice !== read.doc.notice;
      subscription = { url: url, text: text, doc: read.doc, fetchedAt: now, failure: null, failedAt: 0 };
      subscribeNote = null;
      saveSubscription();
      rebuildConfigs();
      // The client refuses a list while it measures one: other lists wait
      // for the running measurement to end.
      if (changed && measuringSubscription()) {
        listsWaiting = true;
      } else if (changed) {
        handLists();
      }
      log('subscription ' + url + ': ' + statusText());
    } else if (current) {
      current.failure = read.failure;
      current.failedAt = now;
      saveSubscription();
      log('subscription ' + url + ': ' + statusText());
    } else if (!subscription) {
      subscribeNote = { key: 'subNotSubscribed', args: { reason: say(read.failure.key, read.failure.args) },
                        bad: true };
      log('subscription ' + url + ' refused: ' + say(read.failure.key, read.failure.args));
    }
    schedule();
    renderAll();
  }

  function subscribe() {
    if (subscription) return;
    var url = String($('subscriptionUrl').value || '').replace(/^\s+|\s+$/g, '');
    if (!isAddress(url)) {
      subscribeNote = { key: 'subBadAddress', bad: true };
      return renderSubscription();
    }
    subscribeNote = null;
    fetchSubscription(url);
  }

  // Removing takes back what the subscription brought: its configurations,
  // its lists and its notice.
  function unsubscribe() {
    if (!subscription && !refreshing) return;
    log('subscription ' + (subscription ? subscription.url : '') + ' removed');
    subscription = null;
    refreshing = 0;
    listsWaiting = false;
    subscribeNote = null;
    saveSubscription();
    schedule();
    rebuildConfigs();
    game = null;
    gameError = null;
    media = null;
    mediaError = null;
    notice = '';
    $('notice').textContent = '';
    renderAll();
  }

  function stampText(ms) {
    var t = new Date(ms);
    return t.getFullYear() + '-' + twoDigits(t.getMonth() + 1) + '-' + twoDigits(t.getDate()) + ' ' +
        twoDigits(t.getHours()) + ':' + twoDigits(t.getMinutes());
  }

  function statusText() {
    if (!subscription) {
      if (refreshing) return S.subFetching;
      return subscribeNote ? say(subscribeNote.key, subscribeNote.args) : S.subNone;
    }
    var doc = subscription.doc;
    var text = say('subBrought', { provider: doc.provider, configs: doc.configs.length, servers: doc.serverCount,
                                   reach: doc.reachCount, time: stampText(subscription.fetchedAt) });
    if (subscription.failure) {
      text = say('subRefreshFailed', { time: stampText(subscription.failedAt),
                                       reason: say(subscription.failure.key, subscription.failure.args) }) + ' ' +
          say('subKeptCopy', { time: stampText(subscription.fetchedAt) }) + ' ' + text;
    }
    return text;
  }

  function renderSubscription() {
    var input = $('subscriptionUrl');
    var subscribed = !!subscription;
    if (subscribed && input.value !== subscription.url) input.value = subscription.url;
    if (input.disabled !== (subscribed || !!refreshing)) input.disabled = subscribed || !!refreshing;
    setText($('subscribe'), subscribed ? S.unsubscribe : S.subscribeAction);
    if ($('subscribe').disabled !== (!subscribed && !!refreshing)) $('subscribe').disabled = !subscribed && !!refreshing;
    if ($('refreshSubscription').hidden !== !subscribed) $('refreshSubscription').hidden = !subscribed;
    $('refreshSubscription').disabled = !!refreshing;
    var status = $('subscriptionStatus');
    setClass(status, 'note' + ((subscription && subscription.failure) || (!subscription && subscribeNote &&
                                                                          subscribeNote.bad) ? ' bad' : ''));
    setText(status, refreshing && subscribed ? S.subFetching + ' ' + statusText() : statusText());
  }

  // ---- choosing a configuration ----
  function choose(index, load) {
    if (index < 0 || index >= configs.length) return;
    chosen = index;
    try { localStorage.setItem('quorvpn.config', configs[index].name); } catch (e) {}
    configNote = null;
    if (load) {
      var c = configs[index];
      call('LoadConfig', c.name, c.text);
      configNote = { key: 'configLoaded', args: { config: c.title } };
      if (tunnel.running) configNote.extra = 'configNextTime';
    }
    renderConfigs();
  }

  function chooser(index) {
    return function () { choose(index, true); };
  }

  function renderConfigs() {
    var box = $('configs');
    clear(box);
    if (!configs.length) {
      box.appendChild(element('div', 'empty', S.noConfigs));
    }
    for (var i = 0; i < configs.length; i++) {
      var b = element('button', 'config' + (i === chosen ? ' chosen' : ''), configs[i].title);
      b.setAttribute('aria-pressed', i === chosen ? 'true' : 'false');
      b.onclick = chooser(i);
      box.appendChild(b);
    }
    var note = $('configNote');
    note.className = 'note' + (configNote && configNote.bad ? ' bad' : '');
    note.textContent = configNote ? say(configNote.key, configNote.args) + (configNote.extra ? ' ' + S[configNote.extra] : '') : '';
  }

  // ---- measured servers ----
  function compareServers(a, b) {
    function rank(s) { return !s.measured ? 1 : s.dropRate >= 1 ? 2 : 0; }
    var ra = rank(a), rb = rank(b);
    if (ra !== rb) return ra - rb;
    if (ra === 0) {
      if (a.lag !== b.lag) return a.lag - b.lag;
      if (a.dropRate !== b.dropRate) return a.dropRate - b.dropRate;
    }
    return a.order - b.order;
  }

  function onSetAdInfo(o) {
    if (!o.ads || typeof o.ads.length !== 'number') {
      if (typeof o.result === 'number' && o.result !== 0) {
        gameError = errorFor('SetAdInfo', o.result);
        renderServers();
      }
      return;
    }
    // Results of a subscription removed since are late, not news.
    if (String(o.id || '') === SEALED_ID && !subscription) return;
    gameError = null;
    game = { id: String(o.id || ''), route: o.route || {}, servers: [] };
    for (var i = 0; i < o.ads.length; i++) {
      var ad = o.ads[i] || {};
      game.servers.push({ name: String(ad.name || ''), title: String(ad.title || ad.name || ''), lag: 0, dropRate: 0,
                          measured: false, order: i });
    }
    renderServers();
  }

  function onAdInfo(o) {
    var ad = o.ad;
    if (!game || !ad || String(o.id || '') !== game.id) return;
    for (var i = 0; i < game.servers.length; i++) {
      var s = game.servers[i];
      if (s.name === String(ad.name)) {
        s.lag = Math.max(0, Number(ad.lag) || 0);
        s.dropRate = Math.min(1, Math.max(0, Number(ad.dropRate) || 0));
        s.measured = true;
        break;
      }
    }
    renderServers();
    if (listsWaiting && !measuringSubscription()) handLists();
  }

  // "Hong Kong, 8 milliseconds, best": what a screen reader says of a row.
  function serverLabel(s, best, lost) {
    var label = say('rowName', { name: String(s.title) });
    if (!s.measured) return label + S.rowWaiting;
    if (lost) return label + S.rowLost;
    label += say('rowLag', { lag: s.lag });
    if (s.dropRate > 0) label += say('rowLoss', { loss: Math.round(s.dropRate * 100) });
    return label + (best ? S.rowBest : '');
  }

  function lagClass(lag) { return lag < 80 ? 'good' : lag < 180 ? 'fair' : 'poor'; }

  function renderServers() {
    var box = $('servers');
    var status = $('serverStatus');
    clear(box);
    status.className = 'note' + (gameError ? ' bad' : '');
    $('route').textContent = game && game.route && game.route.title ? String(game.route.title) : '';
    if (!game) {
      status.textContent = gameError ? say(gameError.key, gameError.args) : '';
      box.appendChild(element('div', 'empty', subscription && subscription.doc.servers ? S.waitingForResult : S.noServerList));
      updateTitle();
      return;
    }
    var sorted = game.servers.slice(0).sort(compareServers);
    var done = measuredCount();
    status.textContent = gameError ? say(gameError.key, gameError.args)
        : done < sorted.length ? say('measuring', { done: done, total: sorted.length })
        : sorted.length ? say('measured', { total: sorted.length }) : S.emptyServerList;
    var best = sorted.length && sorted[0].measured && sorted[0].dropRate < 1 ? sorted[0] : null;
    for (var i = 0; i < sorted.length; i++) {
      var s = sorted[i];
      var lost = s.measured && s.dropRate >= 1;
      var r = serverRow(s.name);
      setClass(r.row, 'row' + (s === best ? ' best' : '') + (lost ? ' lost' : '') + (!s.measured ? ' waiting' : ''));
      setText(r.mark, S.best);
      if (s === best && r.mark.parentNode !== r.title) r.title.insertBefore(r.mark, r.name);
      if (s !== best && r.mark.parentNode === r.title) r.title.removeChild(r.mark);
      setText(r.name, String(s.title));
      setClass(r.lag, 'lag' + (s.measured && !lost ? ' ' + lagClass(s.lag) : ''));
      setText(r.lag, !s.measured ? S.waitingForResult : lost ? S.lost : say('ms', { lag: s.lag }));
      setText(r.loss, s.measured && !lost && s.dropRate > 0 ? say('loss', { loss: Math.round(s.dropRate * 100) }) : '');
      setAttr(r.row, 'aria-label', serverLabel(s, s === best, lost));
      box.appendChild(r.row);
    }
    updateTitle();
  }

  // ---- reachability ----
  function onSetAdGlobal(o) {
    if (!o.ads || typeof o.ads.length !== 'number') {
      if (typeof o.result === 'number' && o.result !== 0) {
        mediaError = errorFor('SetAdGlobal', o.result);
        renderMedia();
      }
      return;
    }
    if (String(o.id || '') === SEALED_ID && !subscription) return;
    mediaError = null;
    media = { id: String(o.id || ''), route: o.route || {}, servers: [] };
    for (var i = 0; i < o.ads.length; i++) {
      var ad = o.ads[i] || {};
      media.servers.push({ name: String(ad.name || ''), title: String(ad.title || ad.name || ''), status: '',
                           checked: false });
    }
    renderMedia();
  }

  function onAdGlobal(o) {
    var ad = o.ad;
    if (!media || !ad || String(o.id || '') !== media.id) return;
    for (var i = 0; i < media.servers.length; i++) {
      if (media.servers[i].name === String(ad.name)) {
        media.servers[i].status = String(ad.status || '');
        media.servers[i].checked = true;
        break;
      }
    }
    renderMedia();
  }

  function renderMedia() {
    var box = $('media');
    clear(box);
    if (mediaError) box.appendChild(element('div', 'empty', say(mediaError.key, mediaError.args)));
    if (!media) {
      if (!mediaError) box.appendChild(element('div', 'empty', subscription && subscription.doc.reachability ? S.waitingForResult : S.noMediaList));
      return;
    }
    if (!media.servers.length) box.appendChild(element('div', 'empty', S.emptyServerList));
    for (var i = 0; i < media.servers.length; i++) {
      var s = media.servers[i];
      // The client reports an unreachable server as "MAINTAIN".
      var up = s.checked && s.status !== 'MAINTAIN';
      var r = mediaRow(s.name);
      setText(r.title, String(s.title));
      setClass(r.status, 'status ' + (!s.checked ? 'testing' : up ? 'up' : 'down'));
      setText(r.status, !s.checked ? S.testing : up ? S.reachable : S.unreachable);
      setAttr(r.row, 'aria-label', say('rowName', { name: String(s.title) }) + S.rowSeparator + r.status.textContent);
      box.appendChild(r.row);
    }
  }

  function measure() {
    handLists();
    renderServers();
    renderMedia();
  }

  // ---- device, updates, logs, help ----
  function renderDevice() {
    var name = call('GetDeviceName').value;
    var id = call('GetDeviceId').value;
    var version = call('GetVersion').value;
    $('deviceName').textContent = typeof name === 'string' && name ? name : S.unknown;
    $('deviceId').textContent = typeof id === 'string' && id ? id : S.unknown;
    $('version').textContent = typeof version === 'string' && version ? version : S.unknown;
  }

  function showDeviceNote(key, args, bad) {
    deviceNote = key ? { key: key, args: args, bad: bad } : null;
    renderDeviceNote();
  }
  function renderDeviceNote() {
    var note = $('deviceNote');
    note.className = 'note' + (deviceNote && deviceNote.bad ? ' bad' : '');
    note.textContent = deviceNote ? say(deviceNote.key, deviceNote.args) : '';
    $('saveLogs').hidden = !logArchive;
  }

  function onLogFiles(o) {
    var zip = o.result === 0 && o.files ? o.files['log.zip'] : null;
    if (!zip || typeof zip.byteLength !== 'number') {
      logArchive = null;
      showDeviceNote(errorFor('GetLogFiles', typeof o.result === 'number' && o.result !== 0 ? o.result : 3).key,
                     null, true);
      return;
    }
    logArchive = zip;
    showDeviceNote('logsReady', { size: say('kb', { n: Math.max(1, Math.round(zip.byteLength / 1024)) }) });
  }

  function twoDigits(n) { return (n < 10 ? '0' : '') + n; }
  function saveLogs() {
    if (!logArchive) return;
    // The engine's save dialog: the person picks the place; false when
    // cancelled or not written.
    if (typeof navigator === 'undefined' || typeof navigator.msSaveBlob !== 'function' ||
        typeof Blob === 'undefined') {
      return showDeviceNote('cannotSave', null, true);
    }
    var now = new Date();
    var name = 'quorvpn-logs-' + now.getFullYear() + twoDigits(now.getMonth() + 1) + twoDigits(now.getDate()) + '-' +
        twoDigits(now.getHours()) + twoDigits(now.getMinutes()) + '.zip';
    var saved = false;
    try {
      saved = navigator.msSaveBlob(new Blob([logArchive], { type: 'application/zip' }), name);
    } catch (e) {
      saved = false;
    }
    showDeviceNote(saved ? 'logsSaved' : 'logsNotSaved', null, !saved);
  }

  function helpUrl() {
    var here = typeof location !== 'undefined' && location ? String(location.href || '') : '';
    if (!/^(file|https?):/i.test(here)) return '';
    // The help page reads the language from the same storage.
    return here.replace(/[?#].*$/, '').replace(/[^\/\\]*$/, '') + 'help.html';
  }

  // ---- dropped files, notice ----
  function renderDrops() {
    var box = $('drops');
    clear(box);
    if (!drops) {
      box.appendChild(element('div', 'empty', S.noDroppedFiles));
      return;
    }
    if (!drops.length) {
      box.appendChild(element('div', 'empty', S.emptyDrop));
      return;
    }
    for (var i = 0; i < drops.length; i++) {
      var row = element('div', 'path', drops[i]);
      row.setAttribute('role', 'listitem');
      box.appendChild(row);
    }
  }

  function onAdLocal(o) {
    if (o.result === 0 && typeof o.data === 'string') {
      notice = o.data;
    } else if (typeof o.result === 'number' && o.result !== 0) {
      notice = '';
    }
    $('notice').textContent = notice;
  }

  // ---- language ----
  function applyLanguage(next, remember) {
    lang = STRINGS[next] ? next : 'en';
    S = STRINGS[lang];
    if (remember) {
      try { localStorage.setItem(LANG_KEY, lang); } catch (e) {}
    }
    document.body.className = lang;
    document.documentElement.setAttribute('lang', lang === 'zh' ? 'zh-CN' : 'en');
    var labelled = document.querySelectorAll('[data-i18n]');
    for (var i = 0; i < labelled.length; i++) labelled[i].textContent = S[labelled[i].getAttribute('data-i18n')];
    $('lang').textContent = S.langSwitch;
    // Icon-only buttons: their names for screen readers, their titles
    // for the pointer.
    $('lang').setAttribute('title', S.langSwitchLabel);
    $('lang').setAttribute('aria-label', S.langSwitchLabel);
    $('minimise').setAttribute('title', S.minimise);
    $('minimise').setAttribute('aria-label', S.minimise);
    $('close').setAttribute('title', S.close);
    $('close').setAttribute('aria-label', S.close);
    renderAll();
  }

  function initialLanguage() {
    var stored = null;
    try { stored = localStorage.getItem(LANG_KEY); } catch (e) {}
    if (stored && STRINGS[stored]) return stored;
    var system = typeof navigator !== 'undefined' && navigator ? String(navigator.language || '') : '';
    return /^zh/i.test(system) ? 'zh' : 'en';
  }

  function renderAll() {
    renderTunnel();
    renderConfigs();
    renderServers();
    renderMedia();
    renderDrops();
    renderDeviceNote();
    renderSubscription();
  }

  // ---- events from the client ----
  function onResult(o) {
    if (!o || typeof o !== 'object') return;
    switch (o.type) {
      case 'QueryTunnel': case 'StartTunnel': case 'StopTunnel': case 'SetConfig': case 'LoadConfig':
        return onTunnelEvent(o);
      case 'SetAdInfo': return onSetAdInfo(o);
      case 'AdInfo': return onAdInfo(o);
      case 'SetAdGlobal': return onSetAdGlobal(o);
      case 'AdGlobal': return onAdGlobal(o);
      case 'SetAdLocal':
        if (sealedCheck) {
          if (o.result === 0 && o.id === CHECK_ID && typeof o.data === 'string') sealedCheck.text = o.data;
          return;
        }
        return onAdLocal(o);
      case 'GetLogFiles': return onLogFiles(o);
      case 'StartTracing': case 'StopTracing': return onTraceRefused(o);
      case 'DragAndDrop':
        drops = [];
        for (var i = 0; o.files && i < o.files.length; i++) drops.push(String(o.files[i]));
        return renderDrops();
    }
  }

  // Once a second: notices the service's silence and requests that were
  // never answered.
  function tick() {
    var now = new Date().getTime();
    if (tunnel.heard && now - tunnel.lastHeard > SERVICE_SILENCE_MS) tunnel.heard = false;
    if (tunnel.pending && now - tunnel.pendingSince > ANSWER_TIMEOUT_MS) return fail({ key: 'errTimeout' });
    renderTunnel();
  }

  function onDispatchReady() {
    renderDevice();
    readImported();
    // The stored copy's sealed lists are opened through the client again.
    var unusable = readStoredSubscription();
    rebuildConfigs();
    var stored = null;
    try { stored = localStorage.getItem('quorvpn.config'); } catch (e) {}
    for (var i = 0; i < configs.length; i++) {
      if (configs[i].name === stored) chosen = i;
    }
    renderAll();
    if (unusable) {
      $('subscriptionUrl').value = unusable;
      return fetchSubscription(unusable);
    }
    if (!subscription) return;
    // The last good copy is measured at once; the address is asked again
    // at every start.
    handLists();
    fetchSubscription(subscription.url);
  }

  function bind() {
    $('header').addEventListener('mousedown', function (e) {
      if (e.button !== undefined && e.button !== 0) return;
      if (e.target && e.target.closest && e.target.closest('button')) return;
      call('MoveWindow');
    });
    $('minimise').onclick = function () { call('MinimizeWindow'); };
    $('close').onclick = function () { call('CloseWindow'); };
    $('lang').onclick = function () { applyLanguage(lang === 'en' ? 'zh' : 'en', true); };
    $('connect').onclick = onConnectClick;
    $('measure').onclick = measure;
    $('checkUpdate').onclick = function () {
      // The client tells at load whether its updater is there: without it
      // the check would start nothing while the note said it had.
      if (typeof HalyxUpdaterPresent !== 'undefined' && HalyxUpdaterPresent === false) {
        return showDeviceNote('errNoUpdater', null, true);
      }
      showDeviceNote(call('CheckUpdate').failed ? 'errNoDispatch' : 'updateStarted', null, false);
    };
    $('traceRoute').onclick = toggleTrace;
    $('exportLogs').onclick = function () {
      if (call('GetLogFiles').failed) return showDeviceNote('errNoDispatch', null, true);
      logArchive = null;
      showDeviceNote('collectingLogs');
    };
    $('saveLogs').onclick = saveLogs;
    $('configFile').addEventListener('change', onConfigFile);
    $('subscribe').onclick = function () { return subscription ? unsubscribe() : subscribe(); };
    $('subscriptionUrl').addEventListener('keydown', function (e) {
      if (e.keyCode === 13 && !subscription) subscribe();
    });
    $('refreshSubscription').onclick = function () { if (subscription) fetchSubscription(subscription.url); };
    $('help').onclick = function () {
      var url = helpUrl();
      if (!url || call('NewWindow', url, 520, 560).failed) showDeviceNote('cannotOpenHelp', null, true);
    };
    $('website').onclick = function (e) {
      e.preventDefault();
      call('OpenUrl', $('website').getAttribute('href'));
    };
  }

  function start() {
    tunnel.started = new Date().getTime();
    bind();
    applyLanguage(initialLanguage(), false);
    setInterval(tick, 1000);
    var waiting = setInterval(function () {
      if (!dispatch()) return;
      clearInterval(waiting);
      onDispatchReady();
    }, 50);
  }

  return { start: start, onResult: onResult, stateText: stateText };
})();

var HalyxBridge = {
  PostResult: function (o) {
    try {
      Page.onResult(o);
    } catch (e) {
      if (typeof console !== 'undefined') console.error('page: ' + e);
    }
  }
};

document.addEventListener('DOMContentLoaded', Page.start);
