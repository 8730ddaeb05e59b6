#!/usr/bin/env python3
"""What a person sees on the dashboard, checked in headless Chromium.

Starts tmx-page-fixture (the page plus canned /api/* and an event stream this
test controls) and Chromium on loopback, drives Chromium through its DevTools
protocol (python3-websocket), and checks the panels, the plots, the messages,
a WET shown after an event, the stale marks, a missing value, and the gap
filled after a lost connection. Keeps a screenshot. Exit 77 = skipped.
"""
import argparse
import base64
import itertools
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

try:
    import websocket  # python3-websocket
except ImportError:
    print("python3-websocket is not installed: skipped")
    sys.exit(77)

FAILURES = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        FAILURES.append(what)


def wait_for(predicate, timeout, interval=0.05):
    """Polls predicate until it returns a true value or timeout seconds pass."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


class DevTools:
    """A minimal DevTools protocol client over one page's WebSocket."""

    def __init__(self, url):
        self.ws = websocket.create_connection(url, timeout=10, suppress_origin=True)
        self.ids = itertools.count(1)

    def call(self, method, timeout=10, **params):
        ident = next(self.ids)
        self.ws.send(json.dumps({"id": ident, "method": method, "params": params}))
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.ws.settimeout(max(0.1, deadline - time.monotonic()))
            reply = json.loads(self.ws.recv())
            if reply.get("id") == ident:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply["result"]
        raise TimeoutError(method)

    def eval(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            return None
        return result["result"].get("value")

    def close(self):
        self.ws.close()


def http(port, path, body=None):
    req = urllib.request.Request(f"http://127.0.0.1:{port}{path}", data=body.encode() if body is not None else None,
                                 method="POST" if body is not None else "GET")
    with urllib.request.urlopen(req, timeout=5) as res:
        return res.read().decode()


def start_chromium(chromium, profile):
    args = [chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
            "--no-default-browser-check", "--disable-background-networking", "--disable-component-update",
            "--disable-sync", "--disable-extensions", "--mute-audio", "--hide-scrollbars",
            "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1", "--no-proxy-server",
            "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0",
            f"--user-data-dir={profile}", "--window-size=1600,1000", "about:blank"]
    proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    port_file = os.path.join(profile, "DevToolsActivePort")
    if not wait_for(lambda: os.path.exists(port_file) and open(port_file).read().count("\n") >= 1, 30):
        raise RuntimeError("Chromium did not open its DevTools port")
    port = int(open(port_file).read().split("\n")[0])
    pages = wait_for(lambda: [t for t in json.loads(http(port, "/json/list")) if t["type"] == "page"], 10)
    if not pages:
        raise RuntimeError("Chromium shows no page")
    return proc, pages[0]["webSocketDebuggerUrl"]


def stop(proc):
    if proc and proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGKILL)  # its own session: Chromium's helpers go too
        except ProcessLookupError:
            pass
        proc.wait(timeout=10)


def close_browser(devtools, chromium):
    """Closes the DevTools connection (if any; errors ignored) and stops Chromium."""
    if devtools:
        try:
            devtools.close()
        except Exception:
            pass
    stop(chromium)


def panel(name):
    return f"""(() => {{ const p = document.querySelector('#panel-{name}');
      return {{ temperature: p.querySelector('.temperature').textContent,
               humidity: p.querySelector('.humidity').textContent,
               dewPoint: p.querySelector('.dewpoint').textContent,
               limits: p.querySelector('.limits').textContent,
               water: p.querySelector('.water').textContent,
               stale: p.classList.contains('stale'), wet: p.classList.contains('wet'),
               age: p.querySelector('.age').textContent, text: p.innerText }}; }})()"""


PLOTS = """(() => { const d = window.tmxDashboard; if (!d || !d.graphs.temperature || !d.graphs.humidity) return null;
  return { rows: [d.rows.temperature.length, d.rows.humidity.length],
           plotted: [d.graphs.temperature.numRows(), d.graphs.humidity.numRows()],
           canvases: document.querySelectorAll('#plot-temperature canvas, #plot-humidity canvas').length,
           drawnMs: d.plotsDrawnMs, wet: d.wet.electronics.length, alarms: d.alarms.length }; })()"""


# The limits each plot drew (housing, kind, value, and where: a line, or named
# at the edge it lies beyond), and the dew point series on the temperature plot.
LIMITS = """(() => { const d = window.tmxDashboard; const g = d.graphs.temperature;
  const dew = g.getLabels().map((l, i) => [l, i]).filter(([l]) => / dew point$/.test(l))
    .map(([l, i]) => [l, d.rows.temperature.filter(r => r[i] !== null).length, g.getOption('strokePattern', l) !== null]);
  const key = (l) => [l.housing, l.kind, l.value, l.where];
  return { temperature: d.limitLines.temperature.map(key), humidity: d.limitLines.humidity.map(key), dew: dew }; })()"""


TIMING = """(() => { const n = performance.getEntriesByType('navigation')[0];
  return { responseEnd: n.responseEnd, domContentLoaded: n.domContentLoadedEventEnd, load: n.loadEventEnd,
           loads: window.tmxDashboard.loadTiming,
           res: performance.getEntriesByType('resource').map(r => [r.name.replace(/^.*\\/(static|api)\\//, '').slice(0, 24),
             Math.round(r.startTime), Math.round(r.connectStart), Math.round(r.requestStart), Math.round(r.responseStart), Math.round(r.responseEnd)]) }; })()"""


def page_opened_to_plots(devtools, url, timeout=15):
    """Opens url afresh (from about:blank); the plot state once drawn, or None."""
    devtools.call("Page.navigate", url="about:blank")
    wait_for(lambda: devtools.eval("location.href") == "about:blank", 5)
    devtools.call("Page.navigate", url=url)
    return wait_for(lambda: (p := devtools.eval(PLOTS)) and p["drawnMs"] and p, timeout)


def screenshot(devtools, path):
    """Saves what the page shows, once two frames have been painted."""
    devtools.eval("new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)))")
    shot = devtools.call("Page.captureScreenshot", format="png")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(base64.b64decode(shot["data"]))
    print(f"screenshot: {path}")


def run(args):
    profile = tempfile.mkdtemp(prefix="tmx-chromium-")
    fixture = chromium = devtools = None
    try:
        fixture = subprocess.Popen([args.fixture, "--lifetime", "170"], stdout=subprocess.PIPE, text=True)
        line = fixture.stdout.readline()  # "PORT n" at once, or the fixture died
        if not line.startswith("PORT "):
            raise RuntimeError("tmx-page-fixture did not start")
        port = int(line.split()[1])
        chromium, ws_url = start_chromium(args.chromium, profile)
        devtools = DevTools(ws_url)
        devtools.call("Page.enable")
        devtools.call("Page.navigate", url=f"http://127.0.0.1:{port}/#range=1h")

        # The panels show both housings' values as served; a missing value is "missing", never -1.
        e = wait_for(lambda: (v := devtools.eval(panel("electronics"))) and "°C" in v["temperature"] and v, 10)
        s = devtools.eval(panel("spectrograph"))
        check(bool(e) and e["temperature"] == "22.4 °C" and e["humidity"] == "41.2 % RH" and e["water"] == "dry",
              f"electronics panel shows 22.4 °C, 41.2 % RH, dry: {e}")
        check(s["temperature"] == "18.7 °C" and s["humidity"] == "missing", f"spectrograph shows 18.7 °C, humidity missing: {s}")
        # The dew point beside them (missing where the humidity is), and the limits in words.
        check(e["dewPoint"] == "8.6 °C" and s["dewPoint"] == "missing", f"dew points 8.6 °C and missing: {e['dewPoint']}, {s['dewPoint']}")
        check(e["limits"] == "limits 5–35 °C, RH < 60 %, margin 3 °C, hysteresis 0.5"
              and s["limits"] == "limits T ≥ 10 °C, RH < 35 %", f"limits shown: '{e['limits']}', '{s['limits']}'")
        shown_values = [p[k] for p in (e, s) for k in ("temperature", "humidity", "dewPoint", "water")]
        check(not any(v.startswith("-1") for v in shown_values) and not e["stale"] and not s["stale"],
              f"no -1 shown, neither panel stale: {shown_values}")

        # The plots are drawn with data, the wet period and the ALARM known to them.
        plots = wait_for(lambda: (p := devtools.eval(PLOTS)) and p["drawnMs"] and p, 10)
        check(bool(plots) and min(plots["rows"]) > 100 and plots["plotted"][0] >= plots["rows"][0] and plots["canvases"] >= 4 and plots["wet"] == 1 and plots["alarms"] == 1,
              f"both plots drawn with data, a wet period and an ALARM marked: {plots}")
        if plots:
            print(f"figure: page opened to plots drawn: {plots['drawnMs']:.0f} ms (fixture, 1 h window)")
            print("timing:", devtools.eval(TIMING))
        # The limits as lines where they fall in the plotted range, named at the edge otherwise;
        # the dew point series of both housings on the temperature plot.
        limits = devtools.eval(LIMITS)
        check(limits["temperature"] == [["electronics", "low", 5, "line"], ["electronics", "high", 35, "above"],
                                        ["spectrograph", "low", 10, "line"]]
              and limits["humidity"] == [["electronics", "high", 60, "above"], ["spectrograph", "high", 35, "line"]],
              f"limit lines drawn: {limits}")
        check([d[0] for d in limits["dew"]] == ["Electronics dew point", "Spectrograph dew point"]
              and all(n > 100 and dotted for _, n, dotted in limits["dew"]), f"dew point series plotted, dotted: {limits['dew']}")
        messages = devtools.eval("Array.from(document.querySelectorAll('#messages li')).map(li => [li.className, li.innerText])")
        check(messages and messages[0][0] == "console" and messages[1][0] == "alarm" and "ALARM" in messages[1][1],
              f"messages newest first, the ALARM marked: {messages}")
        hash_ok = devtools.eval("location.hash") == "#range=1h"
        check(hash_ok, "the window is in the address")

        # A record saying wet shows as WET within 10 s (here: measured).
        now = time.time()
        served = json.loads(http(port, "/api/current"))["housings"][0]
        wet = {"housing": "electronics", "readingTime": now, "arrivalTime": now, "temperature": 22.6,
               "humidity": 43.0, "dewPoint": 9.4, "water": True, "age": 0, "stale": False, "limits": served["limits"]}
        sent = time.monotonic()
        http(port, "/test/event", "event: housekeeping\ndata: " + json.dumps(wet) + "\n\n")
        shown = wait_for(lambda: (v := devtools.eval(panel("electronics"))) and v["water"] == "WET" and v["wet"] and v, 10, 0.01)
        check(bool(shown) and shown["temperature"] == "22.6 °C" and shown["dewPoint"] == "9.4 °C",
              f"WET shown within 10 s ({time.monotonic() - sent:.3f} s), with its dew point")
        # The record is the plot's last row before the empty one that closes
        # the window: counting rows would not do, as rows that have aged out
        # of the window's start go while it is added.
        rows_after = wait_for(lambda: devtools.eval("(() => { const g = window.tmxDashboard.graphs.temperature;"
                                                    f" return Math.abs(g.getValue(g.numRows() - 2, 0) - {now * 1000}) < 1; }})()"), 5)
        dew_appended = wait_for(lambda: devtools.eval("(() => { const r = window.tmxDashboard.rows.temperature;"
                                                      " const last = r[r.length - 1]; return last[3] && last[3][1]; })()") == 9.4, 5)
        check(bool(dew_appended), "the record's dew point appended to its series")
        check(bool(rows_after), "the record appended to the plot's right end: " + json.dumps(devtools.eval(
            "[window.tmxDashboard.graphs.temperature.numRows(), window.tmxDashboard.lastT, window.tmxDashboard.window]")))

        # Latency: events pushed one by one, each waited for in the page.
        lat = []
        for i in range(args.latency_samples):
            t = time.time()
            rec = dict(wet, readingTime=t, arrivalTime=t, temperature=23.0 + i / 100)
            http(port, "/test/event", "event: housekeeping\ndata: " + json.dumps(rec) + "\n\n")
            if not wait_for(lambda: devtools.eval("window.tmxDashboard.current.electronics.temperature") == rec["temperature"], 5, 0.01):
                break
            time.sleep(0.05)  # pacing: records come every 5 s per housing in service, a burst is not the case measured
        lat = sorted(devtools.eval("window.tmxDashboard.latencies.slice(-%d)" % args.latency_samples) or [])
        if lat:
            print(f"figure: SSE record-to-page latency over {len(lat)} events: median {lat[len(lat)//2]*1000:.1f} ms, "
                  f"p99 {lat[min(len(lat)-1, int(len(lat)*0.99))]*1000:.1f} ms, max {lat[-1]*1000:.1f} ms")

        # A screenshot of the live page, the electronics housing wet.
        screenshot(devtools, args.screenshot)

        # The service says it lost its subscription: both panels stale, the header says so.
        state = {"state": "reconnecting", "since": time.time(), "lastRecord": time.time() - 1, "stale": True}
        http(port, "/test/event", "event: state\ndata: " + json.dumps(state) + "\n\n")
        stale = wait_for(lambda: (a := devtools.eval(panel("electronics"))) and (b := devtools.eval(panel("spectrograph")))
                         and a["stale"] and b["stale"] and (a, b), 10)
        header = devtools.eval("document.querySelector('#service').innerText")
        check(bool(stale) and "STALE" in header and "reconnecting" in header,
              f"stale service: both panels marked stale, header '{header}'")
        check(devtools.eval("getComputedStyle(document.querySelector('#panel-spectrograph .stale-mark')).display") == "block",
              "the STALE mark is visible")
        subscribed = {"state": "subscribed", "since": time.time(), "lastRecord": time.time(), "stale": False}
        http(port, "/test/event", "event: state\ndata: " + json.dumps(subscribed) + "\n\n")

        # A lost connection: the page reconnects by itself and reloads what it missed.
        before = json.loads(http(port, "/test/stats"))
        http(port, "/test/drop", "")
        again = wait_for(lambda: (st := json.loads(http(port, "/test/stats")))["streamsOpened"] > before["streamsOpened"]
                         and st["housekeepingRequests"] >= before["housekeepingRequests"] + 2 and st, 15, 0.1)
        check(bool(again), f"reconnected and refilled from /api/housekeeping: {before} -> {again}")

        # A window from the address: the 30-day view is summarised and drawn.
        long = page_opened_to_plots(devtools, f"http://127.0.0.1:{port}/#range=30d", 10)
        print("timing:", devtools.eval(TIMING))
        status = devtools.eval("document.querySelector('#plot-status').innerText") or ""
        check(bool(long) and min(long["rows"]) > 100 and "per hour" in status and
              devtools.eval("document.querySelector('button[data-range=\"30d\"]').classList.contains('active')"),
              f"30-day window from the address drawn as min-mean-max per hour: {long} '{status}'")
        if long:
            print(f"figure: page opened to plots drawn: {long['drawnMs']:.0f} ms (fixture, 30 d window)")

        # Drag across the temperature plot: both plots zoom, the zoom goes into the
        # address, and the span is fetched again finer; a double-click resets.
        box = devtools.eval("(() => { const r = document.querySelector('#plot-temperature').getBoundingClientRect();"
                            " return [r.left, r.top, r.width, r.height]; })()")
        y = box[1] + box[3] / 2
        x1, x2 = box[0] + box[2] * 0.80, box[0] + box[2] * 0.815  # about 11 h: per minute instead of per hour
        mouse = lambda kind, x, **kw: devtools.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left", **kw)
        mouse("mouseMoved", x1)
        mouse("mousePressed", x1, clickCount=1)
        for i in range(1, 6):
            mouse("mouseMoved", x1 + (x2 - x1) * i / 5, buttons=1)
        mouse("mouseReleased", x2, clickCount=1)
        ZOOM = """(() => { const d = window.tmxDashboard; const z = d.view.zoom;
          return { zoomed: [d.graphs.temperature.isZoomed('x'), d.graphs.humidity.isZoomed('x')], hash: location.hash,
                   inside: z ? d.rows.temperature.filter(r => r[0] >= z[0] * 1000 && r[0] <= z[1] * 1000).length : 0 }; })()"""
        zoom = wait_for(lambda: (z := devtools.eval(ZOOM)) and all(z["zoomed"]) and "zoom=" in z["hash"] and z["inside"] > 100 and z, 10)
        check(bool(zoom), f"drag zooms both plots, into the address, refetched finer: {devtools.eval(ZOOM)}")
        mouse("mousePressed", (x1 + x2) / 2, clickCount=1)
        mouse("mouseReleased", (x1 + x2) / 2, clickCount=1)
        mouse("mousePressed", (x1 + x2) / 2, clickCount=2)
        mouse("mouseReleased", (x1 + x2) / 2, clickCount=2)
        reset = wait_for(lambda: (z := devtools.eval(ZOOM)) and not any(z["zoomed"]) and "zoom=" not in z["hash"] and z, 10)
        check(bool(reset), f"double-click resets both plots: {devtools.eval(ZOOM)}")
    finally:
        close_browser(devtools, chromium)
        if fixture and fixture.poll() is None:
            fixture.kill()
            fixture.wait(timeout=10)
        shutil.rmtree(profile, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--chromium", default="chromium")
    parser.add_argument("--fixture", required=True)
    parser.add_argument("--screenshot", required=True)
    parser.add_argument("--latency-samples", type=int, default=200)
    args = parser.parse_args()
    if not shutil.which(args.chromium):
        print("chromium is not installed: skipped")
        return 77
    run(args)
    if FAILURES:
        print(f"{len(FAILURES)} check(s) failed")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
