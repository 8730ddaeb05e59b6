#!/usr/bin/env python3
"""The dashboard in headless Chromium against the real stack on loopback.

omniNames, tmx-notifier, tmx-web and tmx (simulated loggers and port, changed
through scripts/tmx-sim) in a fresh run directory. Checks what a person sees:
both housings' values as the monitor publishes them, plots with data, a wet
line shown as WET within 10 s, its water alarm in the alarm panel and the
title until the local operator acknowledges it, a reading that failed shown as
missing, and the stale marks once the notifier is gone. With --archive30d it also opens a
30-day window from that archive and reports the time to plots drawn.
Exit 77 = skipped (no Chromium).
"""
import argparse
import json
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browser_test as bt  # noqa: E402  (DevTools client, Chromium, checks)

CFG = ("TMX-S1 V3.5-Beta3,1,0x378,0x20\t# spectrograph housing\n"
       "TMX-E1 V3.5-Beta3,2,0x378,0x40\t# electronics housing\n"
       "TMX-S1-LIMITS 5,30,70\n"
       "TMX-E1-LIMITS 5,35,60,3,0.5\n")
LOGGERS = "version V3.5-Beta3\nlogger 1 TMX-S1 18.30 41.0\nlogger 2 TMX-E1 24.10 35.5\n"


# The alarm panel's items, the page's title, the episodes drawn as spans.
ALARMS = """(() => ({ title: document.title, spans: window.tmxDashboard.alarmHistory.spans(),
  items: Array.from(document.querySelectorAll('#alarm-list > li')).map(li => ({ severity: li.dataset.severity,
    where: li.querySelector('.where').textContent, text: li.innerText })) }))()"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get(url, timeout=5):
    try:
        with urllib.request.urlopen(url, timeout=timeout) as res:
            return res.status, res.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, ""
    except OSError:
        return None, ""


class Stack:
    def __init__(self, bindir, run_dir):
        self.bin = bindir
        self.run = run_dir
        self.procs = []
        self.env = dict(os.environ, TMX_CONFIG_DIR=run_dir, TMX_LOG_DIR=os.path.join(run_dir, "logfiles"),
                        TMX_LOGGER_SIM=os.path.join(run_dir, "loggers.sim"),
                        TMX_PORT_DEVICE=os.path.join(run_dir, "port.dev"))
        os.makedirs(self.env["TMX_LOG_DIR"])
        with open(os.path.join(run_dir, "tmx.cfg"), "w") as f:
            f.write(CFG)
        with open(self.env["TMX_LOGGER_SIM"], "w") as f:
            f.write(LOGGERS)
        with open(self.env["TMX_PORT_DEVICE"], "wb") as f:
            f.write(b"\xff" * 1024)

    def start(self, name, argv, **kw):
        out = open(os.path.join(self.run, name + ".out"), "w")
        proc = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT, env=self.env, cwd=self.run,
                                start_new_session=True, **kw)
        self.procs.append((name, proc))
        return proc

    def names_list(self):
        r = subprocess.run(["nameclt"] + self.orb[:2] + ["list"], capture_output=True, text=True, timeout=10)
        return r.stdout if r.returncode == 0 else None

    def start_names(self):
        port = free_port()
        self.orb = ["-ORBInitRef", f"NameService=corbaloc::127.0.0.1:{port}/NameService",
                    "-ORBendPoint", "giop:tcp:127.0.0.1:"]
        names = shutil.which("omniNames") or "/usr/sbin/omniNames"
        os.makedirs(os.path.join(self.run, "names"))
        self.start("omniNames", [names, "-start", str(port), "-datadir", os.path.join(self.run, "names"),
                                 "-nohostname", "-ORBendPoint", f"giop:tcp:127.0.0.1:{port}"])
        if bt.wait_for(lambda: self.names_list() is not None, 15, 0.1) is None:
            raise RuntimeError("omniNames did not start")

    def start_web(self, name, archive, *extra):
        port = free_port()
        self.start(name, [os.path.join(self.bin, "tmx-web")] + self.orb +
                   ["--archive", archive, "--listen", f"127.0.0.1:{port}", "--config", os.path.join(self.run, "tmx.cfg")] + list(extra))
        if not bt.wait_for(lambda: get(f"http://127.0.0.1:{port}/api/current")[0] == 200, 20, 0.1):
            raise RuntimeError(f"{name} does not answer")
        return port

    def stop(self, name, sig=signal.SIGTERM):
        for n, proc in self.procs:
            if n == name and proc.poll() is None:
                os.killpg(proc.pid, sig)
                try:
                    proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    os.killpg(proc.pid, signal.SIGKILL)
                    proc.wait(timeout=10)

    def stop_all(self):
        for name, _ in reversed(self.procs):
            try:
                self.stop(name)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                pass


def run(args):
    run_dir = tempfile.mkdtemp(prefix="tmx-stack-")
    profile = tempfile.mkdtemp(prefix="tmx-chromium-")
    stack = Stack(args.bin, run_dir)
    chromium = devtools = None
    try:
        stack.start_names()
        stack.start("notifier", [os.path.join(args.bin, "tmx-notifier")] + stack.orb)
        if not bt.wait_for(lambda: "Notifier" in (stack.names_list() or ""), 15, 0.1):
            raise RuntimeError("tmx-notifier did not bind Notifier")
        port = stack.start_web("web", os.path.join(run_dir, "archive.sqlite"), "--local-operator", "demo")
        base = f"http://127.0.0.1:{port}"
        if get(base + "/")[0] != 200:
            raise RuntimeError("tmx-web does not serve the dashboard page")
        stack.start("tmx", [os.path.join(args.bin, "tmx")] + stack.orb, stdin=subprocess.PIPE)

        def api_current():
            status, body = get(base + "/api/current")
            return json.loads(body) if status == 200 else None

        def both_read():
            c = api_current()
            return c and all(h["temperature"] is not None for h in c["housings"]) and c
        if not bt.wait_for(both_read, 40, 0.2):
            raise RuntimeError("no records reached tmx-web")

        chromium, ws_url = bt.start_chromium(args.chromium, profile)
        devtools = bt.DevTools(ws_url)
        devtools.call("Page.enable")
        devtools.call("Page.navigate", url=base + "/#range=1h")

        # Both housings' values as the monitor publishes them (and tmx-web serves them).
        def shown_as_served():
            c = api_current()
            want = {h["housing"]: (f"{h['temperature']:.1f} °C", f"{h['humidity']:.1f} % RH") for h in c["housings"]}
            got = {n: devtools.eval(bt.panel(n)) for n in want}
            ok = all(got[n] and (got[n]["temperature"], got[n]["humidity"]) == want[n] for n in want)
            return ok and (want, got)
        shown = bt.wait_for(shown_as_served, 10, 0.2)
        bt.check(bool(shown), "panels show both housings' values as served: " + str(shown and shown[0]))
        # The dew point as served, and the limits of the monitor's tmx.cfg (tmx-web --config).
        c = api_current()
        got = {n: devtools.eval(bt.panel(n)) for n in ("electronics", "spectrograph")}
        dew = {h["housing"]: f"{h['dewPoint']:.1f} °C" for h in c["housings"] if h["dewPoint"] is not None}
        bt.check(all(got[n]["dewPoint"] == d for n, d in dew.items()) and len(dew) == 2, f"dew points as served: {dew}, {got}")
        bt.check(got["electronics"]["limits"] == "limits 5–35 °C, RH < 60 %, margin 3 °C, hysteresis 0.5"
                 and got["spectrograph"]["limits"] == "limits 5–30 °C, RH < 70 %",
                 f"limits from tmx.cfg shown: {got['electronics']['limits']!r}, {got['spectrograph']['limits']!r}")
        lines = bt.wait_for(lambda: (v := devtools.eval("window.tmxDashboard.limitLines")) and len(v["temperature"]) == 4
                            and len(v["humidity"]) == 2 and v, 10, 0.2)
        bt.check(bool(lines), f"limit lines of both housings drawn: {lines}")
        bt.check(bt.wait_for(lambda: (v := devtools.eval(bt.PLOTS)) and min(v["rows"]) >= 2 and v["plotted"][0] >= v["rows"][0] and v["canvases"] >= 4, 30, 0.2),
                 "plots drawn with data")

        # A wet line through the simulated port: WET within 10 s.
        t0 = time.monotonic()
        subprocess.run([args.tmx_sim, "--run-dir", run_dir, "wet", "electronics"], check=True, env=stack.env, timeout=10)
        wet = bt.wait_for(lambda: (v := devtools.eval(bt.panel("electronics"))) and v["water"] == "WET" and v, 10, 0.05)
        bt.check(bool(wet), f"WET shown {time.monotonic() - t0:.1f} s after the line went wet (limit 10 s)")

        # Its water alarm: in the panel and the title; latched once dry, until acknowledged.
        def alarm_shown(activity):
            v = devtools.eval(ALARMS)
            ok = (v and len(v["items"]) == 1 and v["items"][0]["severity"] == "critical" and "water" in v["items"][0]["where"]
                  and re.search(r"trips ×\d+", v["items"][0]["text"]) and activity in v["items"][0]["text"]
                  and "UNACKNOWLEDGED" in v["items"][0]["text"] and v["title"].startswith("1 alarm, 1 unacknowledged"))
            return ok and v
        active = bt.wait_for(lambda: alarm_shown("ACTIVE"), 15, 0.02)
        shown_at = time.time()
        bt.check(bool(active), f"a critical water alarm in the panel and the title: {active or devtools.eval(ALARMS)}")
        status, body = get(base + "/api/alarms")
        if status == 200 and json.loads(body)["alarms"]:
            opened = json.loads(body)["alarms"][0]["opened"]
            print(f"alarm shown in the page {1000 * (shown_at - opened):.0f} ms after its message arrived (looked every 20 ms)")
        bt.check(bool(active) and [s[2] for s in active["spans"]] == ["critical"], f"its episode drawn as a critical span: {active and active['spans']}")
        bt.wait_for(lambda: devtools.eval("window.tmxDashboard.rows.temperature.length") > 6, 20, 0.5)
        bt.screenshot(devtools, args.alarm_screenshot)
        subprocess.run([args.tmx_sim, "--run-dir", run_dir, "dry", "electronics"], check=True, env=stack.env, timeout=10)
        latched = bt.wait_for(lambda: alarm_shown("CLEARED"), 20, 0.1)
        bt.check(bool(latched), f"dry again: the alarm stays, cleared and unacknowledged: {latched or devtools.eval(ALARMS)}")
        devtools.eval("document.querySelector('#alarm-list .comment').focus()")
        devtools.call("Input.insertText", text="line dried <b>checked</b>")
        x, y = devtools.eval("(() => { const r = document.querySelector('#alarm-list [data-act=acknowledge]').getBoundingClientRect();"
                             " return [r.left + r.width / 2, r.top + r.height / 2]; })()")
        for kind in ("mousePressed", "mouseReleased"):
            devtools.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left", clickCount=1)
        gone = bt.wait_for(lambda: (v := devtools.eval(ALARMS)) and not v["items"] and v["title"] == "TMX housekeeping" and v, 10, 0.1)
        bt.check(bool(gone), f"acknowledged: the panel shows no alarm, the title none: {gone or devtools.eval(ALARMS)}")
        devtools.eval("document.querySelector('#history').open = true")
        trail = bt.wait_for(lambda: (t := devtools.eval("document.querySelector('#history-list').innerText"))
                            and "acknowledge by demo from 127.0.0.1: line dried <b>checked</b>" in t and t, 10, 0.1)
        bt.check(bool(trail), f"the history lists the episode with its acknowledgement, as text: {trail!r}")

        # A humidity the monitor cannot read: shown as missing, never -1.
        subprocess.run([args.tmx_sim, "--run-dir", run_dir, "set", "TMX-S1", "rh", "fail"], check=True, env=stack.env, timeout=10)
        missing = bt.wait_for(lambda: (v := devtools.eval(bt.panel("spectrograph"))) and v["humidity"] == "missing" and v, 15, 0.1)
        bt.check(bool(missing) and "-1" not in missing["humidity"], f"failed reading shown as missing: {missing and missing['humidity']}")
        bt.wait_for(lambda: devtools.eval("window.tmxDashboard.rows.temperature.length") > 6, 20, 0.5)

        bt.screenshot(devtools, args.screenshot)

        lat = sorted(devtools.eval("window.tmxDashboard.latencies") or [])
        if lat:
            print(f"figure: record arrival at tmx-web to shown in the page, {len(lat)} records: median "
                  f"{statistics.median(lat)*1000:.1f} ms, p99 {lat[min(len(lat)-1, int(len(lat)*0.99))]*1000:.1f} ms, "
                  f"max {lat[-1]*1000:.1f} ms")

        # The notifier gone: tmx-web loses its subscription, the page marks both housings stale.
        stack.stop("notifier", signal.SIGKILL)
        t0 = time.monotonic()
        stale = bt.wait_for(lambda: all((v := devtools.eval(bt.panel(n))) and v["stale"] for n in ("electronics", "spectrograph")), 40, 0.2)
        header = devtools.eval("document.querySelector('#service').innerText")
        bt.check(bool(stale), f"both housings marked stale {time.monotonic() - t0:.1f} s after the notifier died; header '{header}'")

        # Opening the page on a 30-day archive (made by bench/history_bench --keep).
        if args.archive30d:
            copy = os.path.join(run_dir, "archive30d.sqlite")
            shutil.copy(args.archive30d, copy)
            port30 = stack.start_web("web30", copy)
            times = []
            for _ in range(3):
                p = bt.page_opened_to_plots(devtools, f"http://127.0.0.1:{port30}/#range=30d")
                bt.check(bool(p) and min(p["rows"]) > 100, f"30-day window drawn: {p}")
                if p:
                    times.append(p["drawnMs"])
            if times:
                print(f"figure: page opened to plots drawn, 30-day archive: {statistics.median(times):.0f} ms median of "
                      f"{len(times)} ({', '.join(f'{t:.0f}' for t in times)}); load timing {devtools.eval(bt.TIMING)}")
    finally:
        bt.close_browser(devtools, chromium)
        stack.stop_all()
        shutil.rmtree(profile, ignore_errors=True)
        if bt.FAILURES:
            print(f"run directory kept: {run_dir}")
        else:
            shutil.rmtree(run_dir, ignore_errors=True)
    return 1 if bt.FAILURES else 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--chromium", default="chromium")
    parser.add_argument("--bin", required=True, help="directory with tmx, tmx-notifier, tmx-web")
    parser.add_argument("--tmx-sim", required=True)
    parser.add_argument("--screenshot", required=True)
    parser.add_argument("--alarm-screenshot", required=True, help="where to keep the page showing an alarm")
    parser.add_argument("--archive30d", help="a 30-day archive (bench/history_bench --keep FILE)")
    args = parser.parse_args()
    args.bin, args.tmx_sim = os.path.abspath(args.bin), os.path.abspath(args.tmx_sim)
    if not shutil.which(args.chromium):
        print("chromium is not installed: skipped")
        return 77
    return run(args)


if __name__ == "__main__":
    sys.exit(main())
