// The alarm panel: tmx-web's current alarm episodes (active, latched and
// shelved ones) above the plots, their count in the page's title and header,
// and Acknowledge and Shelve for whoever /api/whoami lets act. Read from
// /api/alarms on each (re)connect and kept from the `alarm` events between.
// Whatever the service says is set as text, never as markup.
window.TmxAlarms = (function () {
  'use strict';

  const HOUSING_LABEL = { electronics: 'Electronics', spectrograph: 'Spectrograph' };
  const KIND_LABEL = {
    water: 'water', 'temperature-high': 'temperature high', 'temperature-low': 'temperature low',
    'humidity-high': 'humidity high', condensation: 'condensation', logger: 'logger', port: 'port',
    'log-write': 'log file', 'monitor-silent': 'monitor silent', notifier: 'notifier', other: 'alarm',
  };
  // What a peak is in: the reading for the limits, the dew point margin for condensation.
  const PEAK_UNIT = { 'temperature-high': ' °C', 'temperature-low': ' °C', 'humidity-high': ' % RH', condensation: ' °C above the dew point' };
  const MAX_CURRENT = 1000;        // as many as tmx-web holds
  const REQUEST_TIMEOUT_MS = 10000;

  const isCurrent = (e) => e.active || e.latched || e.shelved !== null;
  const whereOf = (e) => (e.housing ? (HOUSING_LABEL[e.housing] || e.housing) + ' · ' : '') + (KIND_LABEL[e.kind] || e.kind) +
    (e.source ? ' (' + e.source + ')' : '');
  function peakText(e, fmtTime) {
    if (!e.peak || typeof e.peak.value !== 'number') return '';
    return 'peak ' + Number(e.peak.value.toFixed(2)) + (PEAK_UNIT[e.kind] || '') +
      (typeof e.peak.at === 'number' ? ' at ' + fmtTime(e.peak.at, true) : '');
  }
  // "2 alarms, 1 unacknowledged"; "" when there are none.
  function countText(episodes) {
    const n = episodes.length;
    if (n === 0) return '';
    const open = episodes.filter((e) => !e.acknowledged).length;
    return n + (n === 1 ? ' alarm' : ' alarms') + (open ? ', ' + open + ' unacknowledged' : '');
  }
  // Active and latched ones first, then the others (shelved); critical before
  // warning; newest first.
  function order(a, b) {
    const group = (e) => ((e.active || e.latched) && !e.shelved ? 0 : 1);
    return group(a) - group(b) || (a.severity === 'critical' ? 0 : 1) - (b.severity === 'critical' ? 0 : 1) || b.lastTrip - a.lastTrip;
  }

  // env: { fmtTime(t, withDate), fmtAge(s), serverNow(), getJson(url) }
  function panel(env) {
    const $ = (sel, root) => (root || document).querySelector(sel);
    const current = new Map();     // id -> episode
    const items = new Map();       // id -> its list item
    let pending = null;            // id -> episode: events that came while /api/alarms was read
    let canAct = false;
    let loadError = '';
    const baseTitle = document.title;

    function apply(e) {
      current.delete(e.id);
      if (isCurrent(e)) current.set(e.id, e);
      if (current.size > MAX_CURRENT) current.delete(Math.min(...current.keys()));
    }
    function onEvent(e) {
      if (pending) {
        pending.delete(e.id);
        pending.set(e.id, e);
        return;
      }
      apply(e);
      render();
    }
    async function reload() {
      const queued = new Map();
      pending = queued;
      try {
        const [list, who] = await Promise.all([
          env.getJson('api/alarms?state=active&limit=' + MAX_CURRENT),
          env.getJson('api/whoami').catch(() => null),
        ]);
        if (pending !== queued) return; // a later reload took over
        current.clear();
        list.alarms.forEach(apply);
        canAct = Boolean(who && who.canAcknowledge);
        loadError = '';
      } catch (err) {
        if (pending === queued) loadError = 'could not load the alarms: ' + err.message;
      } finally {
        if (pending === queued) {
          pending = null;
          queued.forEach(apply);
          render();
        }
      }
    }

    function sinceText(e) {
      const end = e.cleared ? e.cleared.at : env.serverNow();
      return (e.cleared ? fmtSpan(e.opened, e.cleared.at) : 'since ' + env.fmtTime(e.opened, true) + ' UTC') +
        ' (' + env.fmtAge(end - e.opened) + ')';
    }
    function fmtSpan(a, b) { return env.fmtTime(a, true) + ' – ' + env.fmtTime(b, true) + ' UTC'; }
    function fill(li, e) {
      li.dataset.id = e.id;
      li.dataset.severity = e.severity;
      li.classList.toggle('active', e.active);
      li.classList.toggle('unacknowledged', !e.acknowledged);
      $('.severity', li).textContent = e.severity.toUpperCase();
      $('.where', li).textContent = whereOf(e);
      $('.episode-text', li).textContent = e.text;
      $('.since', li).textContent = sinceText(e);
      $('.trips', li).textContent = 'trips ×' + e.trips;
      const peak = peakText(e, env.fmtTime);
      $('.peak', li).textContent = peak ? ' · ' + peak : '';
      $('.why', li).textContent = e.cleared && e.cleared.why ? ' · cleared: ' + e.cleared.why : '';
      const activity = $('.activity', li);
      activity.textContent = e.active ? 'ACTIVE' : 'CLEARED';
      activity.title = e.latched ? 'held until acknowledged' : '';
      const a = e.acknowledged;
      $('.ack', li).textContent = a ? 'acknowledged by ' + a.by + ' at ' + env.fmtTime(a.at, true) + (a.comment ? ': ' + a.comment : '') : 'UNACKNOWLEDGED';
      const s = e.shelved;
      $('.shelf', li).textContent = s ? 'SHELVED until ' + env.fmtTime(s.until, true) + ' by ' + s.by + (s.comment ? ': ' + s.comment : '') : '';
      $('.episode-actions', li).hidden = !canAct;
      $('[data-act="acknowledge"]', li).hidden = Boolean(a);
      $('.shelve-buttons', li).hidden = Boolean(s) || !(e.active || e.latched);
      $('[data-act="unshelve"]', li).hidden = !s;
    }
    function makeItem(id) {
      const li = $('#alarm-template').content.firstElementChild.cloneNode(true);
      li.querySelectorAll('button[data-act]').forEach((b) => {
        b.addEventListener('click', () => act(id, li, b.dataset.act, Number(b.dataset.minutes || 0)));
      });
      $('.comment', li).addEventListener('keydown', (ev) => {
        if (ev.key === 'Enter' && current.has(id) && !current.get(id).acknowledged) act(id, li, 'acknowledge', 0);
      });
      return li;
    }
    function render() {
      const list = Array.from(current.values()).sort(order);
      const ol = $('#alarm-list');
      for (const [id, li] of items) {
        if (!current.has(id)) { li.remove(); items.delete(id); }
      }
      list.forEach((e, i) => {
        let li = items.get(e.id);
        if (!li) { li = makeItem(e.id); items.set(e.id, li); }
        fill(li, e);
        if (ol.children[i] !== li) ol.insertBefore(li, ol.children[i] || null); // moves only what is out of place
      });
      const count = countText(list);
      $('#alarm-summary').textContent = count || 'no alarms';
      const header = $('#alarm-count');
      header.textContent = count || 'no alarms';
      header.dataset.level = list.length === 0 ? 'none' : list.some((e) => e.severity === 'critical') ? 'critical' : 'warning';
      document.title = count ? count + ' · ' + baseTitle : baseTitle;
      $('#alarm-status').textContent = loadError;
    }
    function refreshTimes() {
      for (const [id, li] of items) {
        if (current.has(id)) $('.since', li).textContent = sinceText(current.get(id));
      }
    }

    // One operator action; the episode it answers replaces the one shown, a
    // refusal is shown beside the buttons.
    async function act(id, li, verb, minutes) {
      const refusal = $('.refusal', li);
      const input = $('.comment', li);
      const buttons = li.querySelectorAll('button[data-act]');
      const body = {};
      if (input.value.trim() !== '') body.comment = input.value;
      if (verb === 'shelve') body.minutes = minutes;
      refusal.textContent = '';
      buttons.forEach((b) => { b.disabled = true; });
      const abort = new AbortController();
      const timer = setTimeout(() => abort.abort(), REQUEST_TIMEOUT_MS);
      try {
        const res = await fetch('api/alarms/' + encodeURIComponent(id) + '/' + verb, {
          method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body),
          cache: 'no-store', credentials: 'same-origin', signal: abort.signal,
        });
        const text = await res.text();
        if (!res.ok) {
          refusal.textContent = text.trim() || res.status + ' ' + res.statusText;
          return;
        }
        input.value = '';
        const episode = JSON.parse(text);
        onEvent(episode);
        if (api.onEpisode) api.onEpisode(episode);
      } catch (err) {
        refusal.textContent = err.name === 'AbortError' ? 'no answer from tmx-web within ' + REQUEST_TIMEOUT_MS / 1000 + ' s' : 'not sent: ' + err.message;
      } finally {
        clearTimeout(timer);
        buttons.forEach((b) => { b.disabled = false; });
      }
    }

    setInterval(refreshTimes, 1000);
    const api = { reload: reload, onEvent: onEvent, current: current, onEpisode: null };
    return api;
  }

  return { panel: panel, whereOf: whereOf, peakText: peakText, countText: countText };
})();
