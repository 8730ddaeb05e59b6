// The window's alarm episodes: the plots draw them as spans (dashboard.js),
// and the history view lists them with their audit trail. Read with the
// window from /api/alarms?state=all and kept from the `alarm` events. An
// event carries no audit trail: when one says an operator acted, the list is
// read again (while the view is open, else when it is opened).
window.TmxAlarmHistory = function (env) { // env: { fmtTime, fmtAge, serverNow, getJson }
  'use strict';
  const LIMIT = 2000;
  const REREAD_AFTER_MS = 1000;   // one read for a burst of operator actions
  const $ = (sel, root) => (root || document).querySelector(sel);
  const details = $('#history');
  let win = null;                 // the window: { from, to, live }
  let episodes = null;            // id -> episode; null while tmx-web gives none
  let truncated = false;
  let auditStale = false;
  let rereadTimer = null;
  let during = null;              // id -> episode: events that came while the list was read again

  function url(w) {
    return 'api/alarms?state=all&from=' + w.from.toFixed(3) + '&to=' + w.to.toFixed(3) + '&limit=' + LIMIT;
  }
  // The list of window w, or null when tmx-web cannot give it (the plots then
  // mark the ALARM messages instead).
  function fetchFor(w) { return env.getJson(url(w)).catch(() => null); }
  function set(w, list) {
    win = w;
    episodes = list ? new Map(list.alarms.map((e) => [e.id, e])) : null;
    truncated = Boolean(list) && list.count >= LIMIT;
    auditStale = false;
    render();
  }
  function bounds() {
    if (!win.live) return [win.from, win.to];
    const to = Math.max(win.to, env.serverNow());
    return [to - (win.to - win.from), to];
  }

  function merge(e) {
    const old = episodes.get(e.id);
    if (!old && !win.live) return false; // a past window gains no new episodes
    const same = (a, b) => JSON.stringify(a) === JSON.stringify(b);
    const acted = old && (!same(old.acknowledged, e.acknowledged) || !same(old.shelved, e.shelved));
    if (!e.audit) {
      e = Object.assign({}, e, { audit: old ? old.audit : [] });
      if (acted) auditStale = true;
    }
    episodes.delete(e.id);
    episodes.set(e.id, e);
    const from = bounds()[0];
    for (const [id, x] of episodes) {
      if (x.cleared && x.cleared.at < from) episodes.delete(id);
    }
    while (episodes.size > LIMIT) episodes.delete(Math.min(...episodes.keys()));
    return true;
  }
  // An episode that changed; true when the plots need drawing again.
  function onEpisode(e) {
    if (!episodes || !win) return false;
    if (during) { during.set(e.id, e); return false; }
    if (!merge(e)) return false;
    if (auditStale && details.open) scheduleReread();
    render();
    return true;
  }
  function scheduleReread() {
    if (rereadTimer) return;
    rereadTimer = setTimeout(async () => {
      rereadTimer = null;
      const w = win;
      const queued = new Map();
      during = queued;
      const list = await fetchFor(w);
      if (during === queued) during = null;
      if (w !== win) return;
      if (list) set(w, list);
      queued.forEach(merge);
      render();
    }, REREAD_AFTER_MS);
  }

  // [from, to, severity] of each episode; an open one lasts until now.
  function spans() {
    if (!episodes) return null;
    const now = env.serverNow();
    return Array.from(episodes.values(), (e) => [e.opened, e.cleared ? e.cleared.at : now, e.severity]);
  }

  function line(tag, className, text) {
    const el = document.createElement(tag);
    if (className) el.className = className;
    el.textContent = text;
    return el;
  }
  function auditText(a) {
    return env.fmtTime(a.at, true) + ' ' + a.action + ' by ' + a.by + (a.address ? ' from ' + a.address : '') +
      (typeof a.until === 'number' ? ' until ' + env.fmtTime(a.until, true) : '') + (a.comment ? ': ' + a.comment : '');
  }
  function item(e) {
    const li = document.createElement('li');
    li.dataset.severity = e.severity;
    const end = e.cleared ? e.cleared.at : env.serverNow();
    const when = env.fmtTime(e.opened, true) + (e.cleared ? ' – ' + env.fmtTime(e.cleared.at, true) : ' – now') +
      ' UTC (' + env.fmtAge(end - e.opened) + ')';
    li.appendChild(line('span', 'severity', e.severity.toUpperCase()));
    li.appendChild(line('time', '', when));
    li.appendChild(line('span', 'where', TmxAlarms.whereOf(e)));
    li.appendChild(line('span', 'episode-text', e.text));
    const peak = TmxAlarms.peakText(e, env.fmtTime);
    li.appendChild(line('span', 'facts', 'trips ×' + e.trips + (peak ? ' · ' + peak : '') +
      (e.cleared && e.cleared.why ? ' · cleared: ' + e.cleared.why : '') + (e.active ? ' · ACTIVE' : '') +
      (e.acknowledged ? '' : ' · UNACKNOWLEDGED')));
    if (e.audit && e.audit.length) {
      const trail = document.createElement('ol');
      trail.className = 'audit';
      for (const a of e.audit) trail.appendChild(line('li', '', auditText(a)));
      li.appendChild(trail);
    }
    return li;
  }
  function render() {
    const n = episodes ? episodes.size : 0;
    $('#history-summary').textContent = !episodes ? '(not available)' :
      n + (n === 1 ? ' episode' : ' episodes') + (truncated ? ' (the newest ' + LIMIT + ')' : '');
    if (!details.open) return;
    const list = episodes ? Array.from(episodes.values()).sort((a, b) => b.opened - a.opened) : [];
    $('#history-list').replaceChildren(...list.map(item));
  }
  details.addEventListener('toggle', () => {
    if (details.open && auditStale && win) scheduleReread();
    render();
  });

  return { fetchFor: fetchFor, set: set, onEpisode: onEpisode, spans: spans, episodes: () => episodes };
};
