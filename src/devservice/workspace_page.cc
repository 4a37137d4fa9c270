#include "devservice/workspace_page.h"

#include "devservice/pages.h"

namespace halden::devservice {
namespace {

// Placeholders: @ORIGIN@ (HTML-escaped origin), @SESSION_CLASS@, @SESSION@.
constexpr const char* pageTemplate = R"HTML(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Halden workspace (local stand-in)</title>
<style>
  :root { --ink:#0f2d5e; --muted:#5b6b84; --line:#d9e1ec; --paper:#f8fafc; --accent:#2563eb; }
  * { box-sizing: border-box; }
  body { margin:0; font:15px/1.45 system-ui, sans-serif; color:var(--ink); background:var(--paper); }
  .banner { background:#fef3c7; color:#78350f; border-bottom:1px solid #fcd34d; padding:8px 24px;
            font-size:13px; }
  main { max-width:920px; margin:0 auto; padding:24px; }
  header { display:flex; justify-content:space-between; align-items:baseline; gap:16px; }
  h1 { font-size:24px; margin:8px 0 4px; }
  .pill { display:inline-block; border-radius:999px; padding:2px 10px; font-size:13px;
          border:1px solid var(--line); background:#fff; }
  .pill.in { border-color:#86efac; background:#f0fdf4; color:#166534; }
  .pill.out { border-color:#fca5a5; background:#fef2f2; color:#991b1b; }
  section { background:#fff; border:1px solid var(--line); border-radius:10px; padding:16px 18px;
            margin-top:16px; }
  h2 { font-size:15px; margin:0 0 10px; color:var(--muted); font-weight:600; }
  label { display:inline-flex; flex-direction:column; font-size:12px; color:var(--muted);
          margin-right:12px; }
  input { font:inherit; padding:6px 8px; border:1px solid var(--line); border-radius:6px;
          min-width:220px; color:var(--ink); }
  .buttons { margin-top:12px; display:flex; flex-wrap:wrap; gap:8px; }
  button { font:inherit; padding:7px 14px; border-radius:6px; border:1px solid var(--line);
           background:#fff; color:var(--ink); cursor:pointer; }
  button.primary { background:var(--accent); border-color:var(--accent); color:#fff; }
  button:disabled { opacity:.5; cursor:default; }
  #status { font-size:16px; }
  #state { font-weight:600; text-transform:uppercase; font-size:12px; letter-spacing:.06em;
           padding:2px 8px; border-radius:4px; background:#e2e8f0; margin-right:8px; }
  #state.recording { background:#fee2e2; color:#b91c1c; }
  #state.processing { background:#dbeafe; color:#1d4ed8; }
  #state.ready { background:#dcfce7; color:#166534; }
  #state.error { background:#fde68a; color:#92400e; }
  #bridge { color:var(--muted); font-size:13px; margin-top:6px; }
  #log { list-style:none; margin:0; padding:0; max-height:300px; overflow:auto;
         font:12px/1.5 ui-monospace, monospace; }
  #log li { border-top:1px solid #eef2f7; padding:4px 0; white-space:pre-wrap;
            word-break:break-word; }
  #log li:first-child { border-top:none; }
  #log:empty::before { content:'No events yet.'; color:var(--muted); font:14px system-ui, sans-serif; }
  #log .time { color:var(--muted); margin-right:8px; }
  nav a { margin-right:16px; color:var(--accent); }
</style>
</head>
<body>
<div class="banner">Local stand-in service for development and demos &mdash; not the Halden
  service. Served from <span id="origin">@ORIGIN@</span>.</div>
<main>
  <header>
    <h1>Client workspace</h1>
    <span id="session" class="pill @SESSION_CLASS@">@SESSION@</span>
  </header>

  <section>
    <h2>Recording</h2>
    <div id="status"><span id="state">idle</span><span id="message">No event yet.</span></div>
    <div id="bridge"></div>
    <div style="margin-top:12px">
      <label>Client ID<input id="clientId" value="client-001" autocomplete="off"></label>
      <label>Client name<input id="clientName" value="Example Client" autocomplete="off"></label>
    </div>
    <div class="buttons">
      <button id="start" class="primary">Start recording</button>
      <button id="stop">End recording</button>
      <button id="retry">Retry upload</button>
      <button id="refresh">Refresh status</button>
      <button id="chime">Play a sound</button>
    </div>
  </section>

  <section>
    <h2>Events</h2>
    <ul id="log"></ul>
  </section>

  <section>
    <h2>Links</h2>
    <nav>
      <a id="download" href="@ORIGIN@/downloads/halden-notes.txt">Download meeting notes</a>
      <a id="login" href="@ORIGIN@/login">Sign in</a>
      <a id="external" href="https://www.example.com/">External site</a>
      <a id="mail" href="mailto:support@example.com">Email support</a>
      <a id="checks" href="@ORIGIN@/clients/navigation">Navigation checks</a>
    </nav>
  </section>
</main>
<script>
(function () {
  'use strict';
  window.haldenEvents = [];
  var pageLoad = String(Date.now()) + '-' + String(Math.random()).slice(2);

  function handler() {
    var w = window.webkit;
    return w && w.messageHandlers && w.messageHandlers.haldenDesktop;
  }

  function logLine(text) {
    var item = document.createElement('li');
    var time = document.createElement('span');
    time.className = 'time';
    time.textContent = new Date().toLocaleTimeString();
    item.appendChild(time);
    item.appendChild(document.createTextNode(text));
    var log = document.getElementById('log');
    log.insertBefore(item, log.firstChild);
  }

  function newMeetingId() {
    if (window.crypto && typeof crypto.randomUUID === 'function') return crypto.randomUUID();
    var b = new Uint8Array(16);
    crypto.getRandomValues(b);
    b[6] = (b[6] & 0x0f) | 0x40;
    b[8] = (b[8] & 0x3f) | 0x80;
    var h = Array.prototype.map.call(b, function (x) { return (x + 256).toString(16).slice(1); })
        .join('');
    return h.slice(0, 8) + '-' + h.slice(8, 12) + '-' + h.slice(12, 16) + '-' +
        h.slice(16, 20) + '-' + h.slice(20);
  }

  window.haldenPost = function (object) {
    var h = handler();
    if (!h) {
      logLine('not sent (outside Halden): ' + JSON.stringify(object));
      return false;
    }
    h.postMessage(object);
    logLine('sent ' + JSON.stringify(object));
    return true;
  };

  window.addEventListener('halden:recording', function (event) {
    var d = event.detail || {};
    window.haldenEvents.push(d);
    // What the page received, for the tools that check the app end to end.
    var report = {page: pageLoad, index: window.haldenEvents.length - 1, event: d};
    fetch('/__control/page-events', {method: 'POST', body: JSON.stringify(report), keepalive: true})
        .catch(function () {});
    var state = document.getElementById('state');
    state.textContent = String(d.state);
    state.className = String(d.state);
    document.getElementById('message').textContent = String(d.message);
    var parts = [String(d.state), String(d.message)];
    if (d.meetingId !== undefined) parts.push('meeting ' + d.meetingId);
    if (d.clientId !== undefined) parts.push('client ' + d.clientId);
    if (d.clientName !== undefined) parts.push('(' + d.clientName + ')');
    logLine('event ' + parts.join(' · '));
  });

  document.getElementById('start').addEventListener('click', function () {
    window.haldenPost({
      action: 'start',
      meetingId: newMeetingId(),
      clientId: document.getElementById('clientId').value,
      clientName: document.getElementById('clientName').value
    });
  });
  document.getElementById('stop').addEventListener('click', function () {
    window.haldenPost({action: 'stop'});
  });
  document.getElementById('retry').addEventListener('click', function () {
    window.haldenPost({action: 'retry'});
  });
  document.getElementById('refresh').addEventListener('click', function () {
    window.haldenPost({action: 'status'});
  });
  // The page's own sound, as a workspace may make (a chime, a preview): 3 s
  // of 660 Hz.
  document.getElementById('chime').addEventListener('click', function () {
    var context = new AudioContext();
    var tone = context.createOscillator();
    var gain = context.createGain();
    tone.frequency.value = 660;
    gain.gain.value = 0.5;
    tone.connect(gain);
    gain.connect(context.destination);
    tone.start();
    tone.stop(context.currentTime + 3);
  });

  var bridge = document.getElementById('bridge');
  if (handler()) {
    bridge.textContent = 'Connected to the Halden desktop app.';
    window.haldenPost({action: 'status'});
  } else {
    bridge.textContent = 'This page runs outside Halden: open it in the Halden desktop app ' +
        'to record meetings.';
    var buttons = document.querySelectorAll('.buttons button');
    for (var i = 0; i < buttons.length; i++) buttons[i].disabled = true;
  }
})();
</script>
</body>
</html>
)HTML";

void replaceAll(std::string& text, const std::string& placeholder, const std::string& value) {
  for (std::size_t at = text.find(placeholder); at != std::string::npos;
       at = text.find(placeholder, at + value.size())) {
    text.replace(at, placeholder.size(), value);
  }
}

}  // namespace

std::string workspacePage(const std::string& origin, bool signedIn) {
  std::string page = pageTemplate;
  replaceAll(page, "@ORIGIN@", htmlEscape(origin));
  replaceAll(page, "@SESSION_CLASS@", signedIn ? "in" : "out");
  replaceAll(page, "@SESSION@", signedIn ? "Signed in" : "Not signed in");
  return page;
}

}  // namespace halden::devservice
