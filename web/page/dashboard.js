// The TMX dashboard: panels with each housing's last reading, the alarm panel
// (alarms.js), trend plots of temperature (with the dew point) and humidity
// (dygraphs) with each housing's limits as dashed lines and the window's
// alarm episodes as spans, the latest messages (messages.js), and the
// alarm history (alarm-history.js), kept live through server-sent events
// from /api/events. Times are shown in UTC.
(function () {
  'use strict';

  const HOUSINGS = ['electronics', 'spectrograph'];
  const LABELS = { electronics: 'Electronics', spectrograph: 'Spectrograph' };
  const SENSORS = { electronics: 'TMX-E1', spectrograph: 'TMX-S1' };
  const COLORS = ['#d9480f', '#1864ab'];
  const QUANTITIES = ['temperature', 'humidity'];
  // The series of each plot, one column per housing each: the dew point goes
  // on the temperature plot.
  const SERIES = { temperature: ['temperature', 'dewPoint'], humidity: ['humidity'] };
  const SERIES_LABEL = { temperature: '', humidity: '', dewPoint: ' dew point' };
  const UNITS = { temperature: '°C', humidity: '%' };
  const RANGES = { '1h': 3600, '24h': 86400, '7d': 7 * 86400, '30d': 30 * 86400 };
  const STALE_AFTER = 15;        // seconds: three housekeeping periods
  const MESSAGES_SHOWN = 200;
  const MESSAGES_FETCHED = 2000; // also the ALARM marks of the window
  const SPAN_COLORS = { critical: ['rgba(192, 0, 26, 0.12)', '#c0001a'], warning: ['rgba(184, 110, 0, 0.14)', '#b86e00'] };
  const WET_JOIN = 20;           // seconds: a wet record this close to a wet period extends it

  const state = {
    clockOffset: 0,              // server clock minus this browser's clock, seconds
    service: null,
    current: {},                 // housing -> last housing object
    connected: false,
    everOpened: false,
    view: { range: '1h', from: null, to: null, zoom: null },
    window: null,                // { from, to, live }
    rows: { temperature: [], humidity: [] },  // what the plots show
    base: { temperature: [], humidity: [] },  // the whole window; rows differs while zoomed in
    lastT: {},                   // housing -> reading time of the newest plotted point
    wet: { electronics: [], spectrograph: [] },
    alarms: [],                  // the window's ALARM message times: marked when no episodes come
    alarmPanel: null,
    alarmHistory: null,
    limitLines: { temperature: [], humidity: [] }, // the limits drawn last, per plot
    messages: [],
    graphs: {},
    generation: 0,
    loading: false,
    pending: [],                 // events received while a load is in flight
    plotsDrawnMs: null,          // performance.now() when the plots were first drawn with data
    latencies: [],               // seconds from arrival at the service to shown here
    events: 0,
  };
  window.tmxDashboard = state;

  const $ = (sel, root) => (root || document).querySelector(sel);
  const serverNow = () => Date.now() / 1000 + state.clockOffset;

  function pad(n) { return String(n).padStart(2, '0'); }
  function fmtTime(t, withDate) {
    const d = new Date(t * 1000);
    const time = pad(d.getUTCHours()) + ':' + pad(d.getUTCMinutes()) + ':' + pad(d.getUTCSeconds());
    if (!withDate) return time;
    return d.getUTCFullYear() + '-' + pad(d.getUTCMonth() + 1) + '-' + pad(d.getUTCDate()) + ' ' + time;
  }
  function fmtAge(s) {
    if (s < 0) s = 0;
    if (s < 120) return Math.round(s) + ' s';
    if (s < 7200) return Math.round(s / 60) + ' min';
    if (s < 172800) return Math.round(s / 3600) + ' h';
    return Math.round(s / 86400) + ' d';
  }
  // Unix seconds, or ISO 8601 taken as UTC when it names no zone.
  function parseTime(s) {
    if (s === null || s === undefined || s === '') return null;
    if (/^\d+(\.\d+)?$/.test(s)) return Number(s);
    let iso = s;
    if (/^\d{4}-\d{2}-\d{2}$/.test(iso)) iso += 'T00:00:00';
    if (!/(Z|[+-]\d{2}:?\d{2})$/.test(iso)) iso += 'Z';
    const ms = Date.parse(iso);
    return isNaN(ms) ? null : ms / 1000;
  }
  function isoUtc(t) { return new Date(t * 1000).toISOString().replace(/\.\d{3}Z$/, 'Z'); }

  async function getJson(url) {
    const res = await fetch(url, { cache: 'no-store' });
    if (!res.ok) throw new Error(url + ': ' + res.status + ' ' + (await res.text()).trim());
    return res.json();
  }

  // ---- the window, kept in the address ("#range=24h", "#from=..&to=..", "&zoom=a,b")
  function readHash() {
    const p = new URLSearchParams(location.hash.replace(/^#/, ''));
    const view = { range: null, from: parseTime(p.get('from')), to: parseTime(p.get('to')), zoom: null };
    if (view.from === null || view.to === null || view.to <= view.from) {
      view.from = view.to = null;
      view.range = RANGES[p.get('range')] ? p.get('range') : '1h';
    }
    const z = (p.get('zoom') || '').split(',').map(Number);
    if (z.length === 2 && z[0] < z[1]) view.zoom = z;
    return view;
  }
  function hashOf(view) {
    const p = new URLSearchParams();
    if (view.range) p.set('range', view.range);
    else { p.set('from', isoUtc(view.from)); p.set('to', isoUtc(view.to)); }
    if (view.zoom) p.set('zoom', view.zoom.map(Math.round).join(','));
    return '#' + p.toString();
  }
  function go(view) {
    const h = hashOf(view);
    if (h !== location.hash) location.hash = h; // a new history entry; hashchange loads it
  }
  function computeWindow(view) {
    if (view.range) {
      const to = serverNow();
      return { from: to - RANGES[view.range], to: to, live: true };
    }
    return { from: view.from, to: view.to, live: view.to >= serverNow() };
  }
  function showViewControls() {
    document.querySelectorAll('#window button[data-range]').forEach((b) => {
      b.classList.toggle('active', b.dataset.range === state.view.range);
    });
    if (state.window) {
      $('#from').value = isoUtc(state.window.from).slice(0, 19);
      $('#to').value = isoUtc(state.window.to).slice(0, 19);
    }
  }

  // ---- panels
  function setNum(el, value, unit, digits) {
    if (value === null || value === undefined) {
      el.textContent = 'missing';
      el.classList.add('missing');
    } else {
      el.textContent = value.toFixed(digits) + ' ' + unit;
      el.classList.remove('missing');
    }
  }
  function renderHousing(h) {
    const p = $('#panel-' + h.housing);
    if (!p) return;
    setNum($('.temperature', p), h.temperature, '°C', 1);
    setNum($('.humidity', p), h.humidity, '% RH', 1);
    setNum($('.dewpoint', p), h.dewPoint, '°C', 1);
    $('.limits', p).textContent = limitsText(h.limits);
    const w = $('.water', p);
    w.classList.remove('wet', 'dry', 'missing');
    if (h.water === true) { w.textContent = 'WET'; w.classList.add('wet'); }
    else if (h.water === false) { w.textContent = 'dry'; w.classList.add('dry'); }
    else { w.textContent = 'missing'; w.classList.add('missing'); }
    p.classList.toggle('wet', h.water === true);
    refreshAges();
  }
  function fmtLimit(v) { return String(Number(v.toFixed(2))); }
  // "limits 5–35 °C, RH < 60 %, margin 3 °C, hysteresis 0.5"; empty when the
  // service knows no limits (started without --config).
  function limitsText(l) {
    if (!l) return '';
    const num = (v) => typeof v === 'number';
    const parts = [];
    if (num(l.lowTemperature) && num(l.highTemperature)) parts.push(fmtLimit(l.lowTemperature) + '–' + fmtLimit(l.highTemperature) + ' °C');
    else if (num(l.lowTemperature)) parts.push('T ≥ ' + fmtLimit(l.lowTemperature) + ' °C');
    else if (num(l.highTemperature)) parts.push('T ≤ ' + fmtLimit(l.highTemperature) + ' °C');
    if (num(l.highHumidity)) parts.push('RH < ' + fmtLimit(l.highHumidity) + ' %');
    if (num(l.dewPointMargin)) parts.push('margin ' + fmtLimit(l.dewPointMargin) + ' °C');
    if (parts.length === 0) return 'no limits';
    if (num(l.hysteresis) && l.hysteresis > 0) parts.push('hysteresis ' + fmtLimit(l.hysteresis));
    return 'limits ' + parts.join(', ');
  }
  // Called every second: the age of each reading, and the stale marks. A panel
  // is stale when the service says so, when the service is not subscribed, when
  // this page has lost its event stream, or when no reading came for 15 s.
  function refreshAges() {
    const now = serverNow();
    const serviceOk = state.connected && state.service && state.service.state === 'subscribed';
    for (const name of HOUSINGS) {
      const p = $('#panel-' + name);
      const h = state.current[name];
      const t = h ? (h.arrivalTime !== null ? h.arrivalTime : h.readingTime) : null;
      const age = t === null ? null : now - t;
      let stale = !serviceOk || !h || h.stale || age === null || age > STALE_AFTER;
      p.classList.toggle('stale', stale);
      let text = age === null ? 'no reading' : 'last reading ' + fmtAge(age) + ' ago (' + fmtTime(h.readingTime !== null ? h.readingTime : t, true) + ' UTC)';
      if (stale) {
        if (!state.connected) text += ' · connection to the service lost';
        else if (!serviceOk) text += ' · service ' + (state.service ? state.service.state : 'unknown');
        else text += ' · no reading for over ' + STALE_AFTER + ' s';
      }
      $('.age', p).textContent = text;
    }
    $('#clock').textContent = fmtTime(now, true) + ' UTC';
  }
  function renderService() {
    const el = $('#service');
    const s = state.service;
    let text, st;
    if (!state.connected) { text = 'connection lost, reconnecting…'; st = 'lost'; }
    else if (!s) { text = 'connecting…'; st = 'starting'; }
    else {
      st = s.state;
      text = s.state + (s.state !== 'subscribed' ? ' since ' + fmtTime(s.since, true) + ' UTC' : '');
      if (s.stale) text += ' · STALE';
    }
    el.dataset.state = st;
    $('#service-state').textContent = text;
    refreshAges();
  }

  // ---- messages (messages.js)
  function renderMessages() { window.TmxMessages.render($('#messages'), state.messages, MESSAGES_SHOWN, fmtTime); }

  // ---- plots
  function pointsWanted() {
    const w = $('#plot-temperature').clientWidth || 1000;
    return Math.max(200, Math.min(2000, Math.round(w)));
  }
  function emptyRow(quantity, t) {
    const row = new Array(1 + SERIES[quantity].length * HOUSINGS.length).fill(null);
    row[0] = t instanceof Date ? t : new Date(t * 1000);
    return row;
  }
  function column(key, k) { return 1 + SERIES[key === 'dewPoint' ? 'temperature' : key].indexOf(key) * HOUSINGS.length + k; }
  function buildRows(series, quantity) {
    const byTime = new Map();
    for (const key of SERIES[quantity]) {
      HOUSINGS.forEach((name, k) => {
        for (const [t, min, mean, max] of series[name][key] || []) {
          let row = byTime.get(t);
          if (!row) { row = emptyRow(quantity, t); byTime.set(t, row); }
          row[column(key, k)] = mean === null ? null : [min, mean, max];
        }
      });
    }
    return Array.from(byTime.values()).sort((a, b) => a[0] - b[0]);
  }
  // The rows framed by empty rows at the window's ends, so that the time axis
  // (and a double-click reset) spans the whole window however little data it
  // holds; a live window's ends follow the clock.
  function fileFor(quantity) {
    const rows = state.rows[quantity];
    const w = state.window;
    let from = w.from, to = w.to;
    if (w.live) {
      to = Math.max(to, serverNow());
      from = to - (w.to - w.from);
    }
    const first = emptyRow(quantity, from);
    const last = emptyRow(quantity, to);
    if (rows.length > 0 && rows[0][0] <= first[0]) first[0] = new Date(rows[0][0].getTime() - 1);
    if (rows.length > 0 && rows[rows.length - 1][0] >= last[0]) last[0] = new Date(rows[rows.length - 1][0].getTime() + 1);
    return [first].concat(rows, [last]);
  }
  // Each housing's limits of this plot's quantity, as dashed lines in the
  // housing's colour; a limit beyond the plotted range is named at the edge
  // it lies beyond (an arrow), so the data keeps the plot's full height.
  // What was drawn is kept in state.limitLines.
  function limitsOf(quantity) {
    const out = [];
    HOUSINGS.forEach((name, k) => {
      const l = state.current[name] && state.current[name].limits;
      if (!l) return;
      const list = quantity === 'temperature' ? [['low', l.lowTemperature], ['high', l.highTemperature]] : [['high', l.highHumidity]];
      for (const [kind, value] of list) {
        if (typeof value === 'number') out.push({ housing: name, kind: kind, value: value, color: COLORS[k] });
      }
    });
    return out;
  }
  function drawLimits(ctx, area, g, quantity) {
    const [y0, y1] = g.yAxisRange();
    const drawn = [];
    const edge = { above: 0, below: 0 };
    ctx.save();
    ctx.lineWidth = 1.5;
    ctx.font = '11px system-ui, sans-serif';
    for (const l of limitsOf(quantity)) {
      const where = l.value > y1 ? 'above' : l.value < y0 ? 'below' : 'line';
      const text = LABELS[l.housing] + ' ' + l.kind + ' limit ' + fmtLimit(l.value) + ' ' + UNITS[quantity];
      ctx.strokeStyle = l.color;
      ctx.fillStyle = l.color;
      if (where === 'line') {
        const y = Math.round(g.toDomYCoord(l.value)) + 0.5;
        ctx.setLineDash([6, 4]);
        ctx.beginPath();
        ctx.moveTo(area.x, y);
        ctx.lineTo(area.x + area.w, y);
        ctx.stroke();
        const x = l.housing === HOUSINGS[0] ? area.x + area.w - ctx.measureText(text).width - 4 : area.x + 4;
        ctx.fillText(text, x, l.kind === 'low' ? y + 12 : y - 3);
      } else {
        const n = edge[where]++;
        const label = (where === 'above' ? '▲ ' : '▼ ') + text;
        const y = where === 'above' ? area.y + 12 + 13 * n : area.y + area.h - 4 - 13 * n;
        ctx.fillText(label, area.x + 4, y); // left: the legend takes the top right
      }
      drawn.push({ housing: l.housing, kind: l.kind, value: l.value, where: where });
    }
    ctx.restore();
    state.limitLines[quantity] = drawn;
  }
  function underlayFor(quantity) {
    return function (ctx, area, g) {
      underlay(ctx, area, g);
      drawLimits(ctx, area, g, quantity);
    };
  }
  function underlay(ctx, area, g) {
    const [x0, x1] = g.xAxisRange();
    ctx.save();
    ctx.fillStyle = 'rgba(0, 80, 200, 0.18)';
    for (const name of HOUSINGS) {
      for (const [a, b] of state.wet[name]) {
        if (b * 1000 < x0 || a * 1000 > x1) continue;
        const l = Math.max(area.x, g.toDomXCoord(a * 1000));
        const r = Math.min(area.x + area.w, g.toDomXCoord(b * 1000));
        ctx.fillRect(l, area.y, Math.max(r - l, 3), area.h);
      }
    }
    const spans = state.alarmHistory.spans();
    if (spans) {
      drawSpans(ctx, area, g, spans);
      ctx.restore();
      return;
    }
    ctx.strokeStyle = '#c0001a';
    ctx.fillStyle = '#c0001a';
    ctx.lineWidth = 1.5;
    for (const t of state.alarms) {
      if (t * 1000 < x0 || t * 1000 > x1) continue;
      const x = Math.round(g.toDomXCoord(t * 1000)) + 0.5;
      ctx.beginPath();
      ctx.moveTo(x, area.y);
      ctx.lineTo(x, area.y + area.h);
      ctx.stroke();
      ctx.beginPath(); // a mark on the time axis
      ctx.moveTo(x, area.y + area.h - 8);
      ctx.lineTo(x - 5, area.y + area.h);
      ctx.lineTo(x + 5, area.y + area.h);
      ctx.fill();
    }
    ctx.restore();
  }
  // Each alarm episode as a band from its first trip until it cleared (or
  // now), in its severity's colour, with a solid strip along the top so that
  // a short one shows too.
  function drawSpans(ctx, area, g, spans) {
    const [x0, x1] = g.xAxisRange();
    for (const [a, b, severity] of spans) {
      if (b * 1000 < x0 || a * 1000 > x1) continue;
      const [fill, strip] = SPAN_COLORS[severity] || SPAN_COLORS.warning;
      const l = Math.max(area.x, g.toDomXCoord(a * 1000));
      const r = Math.min(area.x + area.w, g.toDomXCoord(b * 1000));
      const w = Math.max(r - l, 3);
      ctx.fillStyle = fill;
      ctx.fillRect(l, area.y, w, area.h);
      ctx.fillStyle = strip;
      ctx.fillRect(l, area.y, w, 4);
    }
  }
  let syncing = false;
  function onZoom(quantity) {
    return function (minX, maxX) {
      if (syncing) return;
      syncing = true;
      const zoomed = this.isZoomed('x');
      for (const q of QUANTITIES) {
        if (q !== quantity && state.graphs[q]) state.graphs[q].updateOptions({ dateWindow: zoomed ? [minX, maxX] : null });
      }
      syncing = false;
      state.view.zoom = zoomed ? [minX / 1000, maxX / 1000] : null;
      history.replaceState(null, '', hashOf(state.view));
      refine();
    };
  }
  function drawPlots() {
    const dateWindow = state.view.zoom ? state.view.zoom.map((t) => t * 1000) : null;
    QUANTITIES.forEach((q) => {
      const labels = ['Time'];
      const series = {};
      for (const key of SERIES[q]) {
        for (const name of HOUSINGS) {
          const label = LABELS[name] + SERIES_LABEL[key];
          labels.push(label);
          if (key === 'dewPoint') series[label] = { strokePattern: [2, 5], strokeWidth: 2 };
        }
      }
      const options = {
        labels: labels,
        series: series,
        customBars: true,
        connectSeparatedPoints: true,
        labelsUTC: true,
        colors: labels.slice(1).map((_, i) => COLORS[i % COLORS.length]),
        strokeWidth: 1.5,
        fillAlpha: 0.25,
        legend: 'always',
        animatedZooms: false,
        dateWindow: dateWindow,
        underlayCallback: underlayFor(q),
        zoomCallback: onZoom(q),
        digitsAfterDecimal: 1,
        axes: { x: { pixelsPerLabel: 110, axisLabelWidth: 90 }, y: { axisLabelWidth: 40 } },
        file: fileFor(q),
      };
      const g = state.graphs[q];
      if (g) g.updateOptions(options);
      else state.graphs[q] = new Dygraph($('#plot-' + q), options.file, options);
    });
    if (state.plotsDrawnMs === null && state.rows.temperature.length > 0) state.plotsDrawnMs = performance.now();
  }
  // Plots are redrawn at most four times a second, so that a burst of records
  // never keeps the page from showing the next one in the panels.
  let redrawQueued = false;
  let lastRedraw = 0;
  function scheduleRedraw() {
    if (redrawQueued) return;
    redrawQueued = true;
    const wait = Math.max(0, lastRedraw + 250 - performance.now());
    setTimeout(() => requestAnimationFrame(() => {
      redrawQueued = false;
      lastRedraw = performance.now();
      for (const q of QUANTITIES) {
        if (state.graphs[q]) state.graphs[q].updateOptions({ file: fileFor(q) });
      }
    }), wait);
  }

  // ---- loading a window (also after a lost connection: fills the gap)
  async function loadAll() {
    const generation = ++state.generation;
    state.loading = true;
    const marks = { start: performance.now() };
    state.loadTiming = marks;
    try {
      const current = await getJson('api/current');
      if (generation !== state.generation) return;
      marks.current = performance.now();
      state.clockOffset = current.now - Date.now() / 1000;
      state.service = current.service;
      for (const h of current.housings) state.current[h.housing] = h;
      HOUSINGS.forEach((n) => state.current[n] && renderHousing(state.current[n]));
      renderService();

      const w = computeWindow(state.view);
      const range = 'from=' + w.from.toFixed(3) + '&to=' + w.to.toFixed(3);
      const points = pointsWanted();
      const [hkE, hkS, msgs, episodes] = await Promise.all([
        getJson('api/housekeeping?housing=electronics&' + range + '&points=' + points),
        getJson('api/housekeeping?housing=spectrograph&' + range + '&points=' + points),
        getJson('api/messages?' + range + '&limit=' + MESSAGES_FETCHED),
        state.alarmHistory.fetchFor(w),
      ]);
      if (generation !== state.generation) return;
      marks.fetched = performance.now();
      const series = { electronics: hkE, spectrograph: hkS };
      state.window = w;
      for (const q of QUANTITIES) state.rows[q] = state.base[q] = buildRows(series, q);
      for (const name of HOUSINGS) {
        state.wet[name] = series[name].wet.map((iv) => iv.slice());
        const temps = series[name].temperature;
        state.lastT[name] = temps.length ? temps[temps.length - 1][0] : w.from;
      }
      state.messages = msgs.messages;
      state.alarms = msgs.messages.filter((m) => m.priority === 'ALARM').map((m) => m.time);
      state.alarmHistory.set(w, episodes);
      renderMessages();
      showViewControls();
      drawPlots();
      marks.drawn = performance.now();
      if (state.view.zoom) refine();
      const res = hkE.resolution;
      $('#plot-status').textContent = fmtTime(w.from, true) + ' – ' + fmtTime(w.to, true) + ' UTC · ' +
        (res === 0 ? 'every record' : 'minimum–mean–maximum per ' + (res === 60 ? 'minute' : res === 3600 ? 'hour' : res < 3600 ? res / 60 + ' minutes' : res / 3600 + ' hours')) +
        (w.live ? ' · live' : '');
      const pending = state.pending;
      state.pending = [];
      state.loading = false;
      pending.forEach((f) => f());
    } catch (err) {
      if (generation !== state.generation) return;
      $('#plot-status').textContent = 'could not load: ' + err.message;
      state.loading = false;
      state.pending = [];
    }
  }

  // Zoomed into a summarised window: the zoomed span is fetched again at the
  // finer resolution it allows and shown in place of the summaries there.
  let refineGeneration = 0;
  async function refine() {
    const generation = ++refineGeneration;
    const zoom = state.view.zoom;
    if (!zoom) {
      for (const q of QUANTITIES) state.rows[q] = state.base[q];
      scheduleRedraw();
      return;
    }
    const [a, b] = zoom;
    const range = 'from=' + a.toFixed(3) + '&to=' + b.toFixed(3) + '&points=' + pointsWanted();
    try {
      const [e, s] = await Promise.all(HOUSINGS.map((n) => getJson('api/housekeeping?housing=' + n + '&' + range)));
      if (generation !== refineGeneration || state.loading) return;
      for (const q of QUANTITIES) {
        const outside = state.base[q].filter((r) => r[0] < a * 1000 || r[0] > b * 1000);
        state.rows[q] = outside.concat(buildRows({ electronics: e, spectrograph: s }, q)).sort((x, y) => x[0] - y[0]);
      }
      scheduleRedraw();
    } catch (err) {
      $('#plot-status').textContent = 'could not load the zoomed span: ' + err.message;
    }
  }

  // ---- live events
  function whenLoaded(f) { if (state.loading) state.pending.push(f); else f(); }
  function appendPoint(h) {
    const w = state.window;
    const t = h.readingTime;
    if (!w || !w.live || t === null || t <= (state.lastT[h.housing] || 0)) return;
    state.lastT[h.housing] = t;
    const k = HOUSINGS.indexOf(h.housing);
    const from = serverNow() - (w.to - w.from);
    for (const q of QUANTITIES) {
      const row = emptyRow(q, t);
      for (const key of SERIES[q]) {
        const v = h[key];
        if (typeof v === 'number') row[column(key, k)] = [v, v, v];
      }
      for (const rows of state.rows[q] === state.base[q] ? [state.rows[q]] : [state.rows[q], state.base[q]]) {
        rows.push(row);
        let drop = 0;
        while (drop < rows.length && rows[drop][0] < from * 1000) drop++;
        if (drop) rows.splice(0, drop);
      }
    }
    if (h.water === true) {
      const ivs = state.wet[h.housing];
      const last = ivs[ivs.length - 1];
      if (last && t - last[1] <= WET_JOIN) last[1] = t;
      else ivs.push([t, t]);
    }
    scheduleRedraw();
  }
  function onHousekeeping(h) {
    state.events++;
    state.current[h.housing] = h;
    renderHousing(h);
    if (h.arrivalTime !== null) {
      state.latencies.push(Date.now() / 1000 - h.arrivalTime);
      if (state.latencies.length > 1000) state.latencies.shift();
    }
    whenLoaded(() => appendPoint(h));
  }
  function onMessage(m) {
    state.events++;
    whenLoaded(() => {
      state.messages.unshift(m);
      if (state.messages.length > MESSAGES_FETCHED) state.messages.pop();
      renderMessages();
      if (m.priority === 'ALARM') { state.alarms.push(m.time); scheduleRedraw(); }
    });
  }
  function onAlarm(e) {
    state.events++;
    state.alarmPanel.onEvent(e);
    onEpisode(e);
  }
  function onEpisode(e) {
    whenLoaded(() => { if (state.alarmHistory.onEpisode(e)) scheduleRedraw(); });
  }
  function onState(s) {
    state.service = s;
    renderService();
  }

  let retryDelay = 1000;
  function connect() {
    const es = new EventSource('api/events');
    es.addEventListener('open', () => {
      state.connected = true;
      retryDelay = 1000;
      renderService();
      state.alarmPanel.reload(); // each time: alarm events may have been missed
      if (state.everOpened) loadAll(); // fill what was missed while disconnected
      state.everOpened = true;
    });
    es.addEventListener('error', () => {
      state.connected = false;
      renderService();
      if (es.readyState === EventSource.CLOSED) { // the browser gave up: retry with back-off
        setTimeout(connect, retryDelay);
        retryDelay = Math.min(retryDelay * 2, 30000);
      }
    });
    es.addEventListener('housekeeping', (e) => onHousekeeping(JSON.parse(e.data)));
    es.addEventListener('message', (e) => onMessage(JSON.parse(e.data)));
    es.addEventListener('state', (e) => onState(JSON.parse(e.data)));
    es.addEventListener('alarm', (e) => onAlarm(JSON.parse(e.data)));
  }

  // ---- controls
  // One panel per housing, from the page's template, in HOUSINGS order.
  function makePanels() {
    const template = $('#panel-template');
    const section = document.querySelector('section.panels');
    for (const name of HOUSINGS) {
      const panel = template.content.firstElementChild.cloneNode(true);
      panel.id = 'panel-' + name;
      panel.dataset.housing = name;
      panel.querySelector('.name').textContent = LABELS[name];
      panel.querySelector('.sensor').textContent = SENSORS[name];
      section.appendChild(panel);
    }
  }

  function init() {
    makePanels();
    const env = { fmtTime: fmtTime, fmtAge: fmtAge, serverNow: serverNow, getJson: getJson };
    state.alarmPanel = window.TmxAlarms.panel(env);
    state.alarmPanel.onEpisode = onEpisode; // an operator's action, answered by tmx-web
    state.alarmHistory = window.TmxAlarmHistory(env);
    state.view = readHash();
    document.querySelectorAll('#window button[data-range]').forEach((b) => {
      b.addEventListener('click', () => go({ range: b.dataset.range, from: null, to: null, zoom: null }));
    });
    $('#window').addEventListener('submit', (e) => {
      e.preventDefault();
      const from = parseTime($('#from').value), to = parseTime($('#to').value);
      if (from !== null && to !== null && to > from) go({ range: null, from: from, to: to, zoom: null });
    });
    window.addEventListener('hashchange', () => { state.view = readHash(); loadAll(); });
    // A live window slides with the clock: reload it now and then so that the
    // summaries and the left end stay right (the right end is fed by events).
    setInterval(() => { if (state.view.range && state.view.range !== '1h' && !state.loading) loadAll(); }, 300000);
    setInterval(refreshAges, 1000);
    showViewControls();
    connect();
    loadAll();
  }
  init();
})();
