// The message list: newest first, each text once with how often it came in
// the window ("×12"). Texts are the same apart from their clock times: the
// monitor stamps each message ("@hh:mm:ss") and says how long since an
// alarm's last trip ("00:06 since last trip").
window.TmxMessages = (function () {
  'use strict';
  const CLOCK_TIME = /\b\d{2}:\d{2}(:\d{2})?\b/g;

  function item({ m, count, first }, fmtTime) {
    const li = document.createElement('li');
    li.className = m.kind === 'console' ? 'console' : (m.priority || 'message').toLowerCase();
    const time = document.createElement('time');
    time.textContent = fmtTime(m.time, true);
    li.appendChild(time);
    if (m.kind !== 'console' && m.priority) {
      const prio = document.createElement('span');
      prio.className = 'prio';
      prio.textContent = m.priority;
      li.appendChild(prio);
    }
    li.appendChild(document.createTextNode(m.text));
    if (count > 1) {
      const repeat = document.createElement('span');
      repeat.className = 'repeat';
      repeat.textContent = '×' + count;
      repeat.title = count + ' times since ' + fmtTime(first, true) + ' UTC';
      li.appendChild(repeat);
    }
    return li;
  }
  // The newest of each text, its count and its first time.
  function fold(messages) {
    const byText = new Map();
    const out = [];
    for (const m of messages) { // newest first
      const key = m.kind + '\u0000' + m.priority + '\u0000' + m.text.replace(CLOCK_TIME, '#');
      const seen = byText.get(key);
      if (seen) {
        seen.count++;
        seen.first = m.time;
        continue;
      }
      const line = { m: m, count: 1, first: m.time };
      byText.set(key, line);
      out.push(line);
    }
    return out;
  }
  function render(ol, messages, shown, fmtTime) {
    ol.replaceChildren(...fold(messages).slice(0, shown).map((line) => item(line, fmtTime)));
  }

  return { render: render };
})();
