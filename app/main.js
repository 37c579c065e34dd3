// The client's page: tunnel state and the connect control, configurations,
// measured servers, reachability, device, logs, dropped files, help. ES5.
//
// Everything shown comes from HalyxDispatch (published by the client once
// the document is ready, so it is looked for until it is there), from the
// events the client hands to HalyxBridge.PostResult, and from DEMO (demo.js,
// optional; a missing key shows an empty state, never invented data).
//
// The title, which the client copies into the window caption, always reads
// "QuorVPN · <State>[ · <measured>/<total> servers]", the state in the
// page's language ("Error: <sentence>" for a failure).
var DEMO = typeof DEMO === 'object' && DEMO !== null ? DEMO : {};

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

  // ---- configurations ----
  function readConfigs() {
    var list = DEMO.configs;
    configs = [];
    if (!list || typeof list.length !== 'number') return;
    for (var i = 0; i < list.length; i++) {
      var c = list[i];
      if (c && typeof c.name === 'string' && c.name && typeof c.text === 'string') {
        configs.push({ name: c.name, title: typeof c.title === 'string' && c.title ? c.title : c.name, text: c.text });
      }
    }
  }

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
      box.appendChild(element('div', 'empty', DEMO.game ? S.waitingForResult : S.noServerList));
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
      if (!mediaError) box.appendChild(element('div', 'empty', DEMO.media ? S.waitingForResult : S.noMediaList));
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
    if (DEMO.game) call('SetAdInfo', 'demo-game', String(DEMO.game));
    if (DEMO.media) call('SetAdGlobal', 'demo-media', String(DEMO.media));
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
      case 'SetAdLocal': return onAdLocal(o);
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
    var stored = null;
    try { stored = localStorage.getItem('quorvpn.config'); } catch (e) {}
    for (var i = 0; i < configs.length; i++) {
      if (configs[i].name === stored) chosen = i;
    }
    if (chosen < 0 && configs.length) chosen = 0;
    renderConfigs();
    if (DEMO.local) call('SetAdLocal', 'demo-local', String(DEMO.local));
    // Measured once by itself, shortly after the page is up.
    if (DEMO.game || DEMO.media) setTimeout(measure, 300);
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
    readConfigs();
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
