#!/usr/bin/env python3
"""alertmanager_inhibit_test.py CONFIG: a real Alertmanager on loopback with
CONFIG's routes and inhibitions (every receiver pointed at a closed loopback
port) mutes exactly the alerts below marked so."""
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

# (alertname, instrument, housing, muted)
ALERTS = [
    ("TmxWebDown", "tmx-1", "", False),
    ("TmxTemperatureHigh", "tmx-1", "electronics", True),
    ("TmxCondensationRisk", "tmx-1", "spectrograph", True),
    ("TmxWaterLeak", "tmx-1", "electronics", False),  # water is never muted
    ("TmxMonitorSilent", "tmx-2", "", False),
    ("TmxHumidityHigh", "tmx-2", "spectrograph", True),
    ("TmxWaterLeak", "tmx-3", "spectrograph", False),
    ("TmxHumidityHigh", "tmx-3", "spectrograph", True),
    ("TmxCondensationRisk", "tmx-3", "spectrograph", True),
    ("TmxHumidityHigh", "tmx-3", "electronics", False),  # the other housing
    ("TmxTemperatureLow", "tmx-3", "spectrograph", False),
]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    binary = shutil.which("prometheus-alertmanager") or shutil.which("alertmanager")
    if not binary:
        print("prometheus-alertmanager not installed")
        return 77
    with open(sys.argv[1]) as f:
        config = f.read()
    # Nothing leaves this host: the relay and every webhook become a closed port.
    config = re.sub(r"smtp_smarthost: \S+", "smtp_smarthost: 127.0.0.1:1", config)
    config = re.sub(r"url: https?://\S+", "url: http://127.0.0.1:1/", config)
    if re.search(r"://(?!127\.0\.0\.1[:/])", config):
        print("an address outside loopback is left in the configuration")
        return 1
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "alertmanager.yml")
        with open(path, "w") as f:
            f.write(config)
        url = f"http://127.0.0.1:{free_port()}"
        with open(os.path.join(tmp, "log"), "w+") as log:
            am = subprocess.Popen(
                [binary, f"--config.file={path}", f"--storage.path={tmp}",
                 f"--web.listen-address={url[7:]}", "--cluster.listen-address="],
                stdout=log, stderr=subprocess.STDOUT)
            try:
                status = check(url, am)
            finally:
                am.terminate()
                try:
                    am.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    am.kill()
                    am.wait()
            if status:
                log.seek(0)
                print(log.read())
            return status


def request(url, body=None):
    data = json.dumps(body).encode() if body is not None else None
    req = urllib.request.Request(url, data=data, headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(req, timeout=5) as r:
        return json.load(r) if body is None else None


def check(url, am):
    alerts = []
    for name, instrument, housing, _ in ALERTS:
        labels = {"alertname": name, "instrument": instrument, "severity": "critical"}
        if housing:
            labels["housing"] = housing
        alerts.append({"labels": labels})
    deadline = time.monotonic() + 20
    while True:  # until it serves
        try:
            request(url + "/api/v2/alerts", alerts)
            break
        except OSError:
            if am.poll() is not None or time.monotonic() > deadline:
                print("Alertmanager did not serve")
                return 1
            time.sleep(0.1)
    expected = {(n, i, h): m for n, i, h, m in ALERTS}
    while True:  # the inhibitor takes its sources in asynchronously
        got = {(a["labels"]["alertname"], a["labels"]["instrument"], a["labels"].get("housing", "")):
               bool(a["status"]["inhibitedBy"]) for a in request(url + "/api/v2/alerts")}
        if got == expected:
            return 0
        if time.monotonic() > deadline:
            for key in sorted(expected):
                if got.get(key) != expected[key]:
                    print(f"FAILED: {key}: muted {got.get(key)}, expected {expected[key]}")
            return 1
        time.sleep(0.1)


if __name__ == "__main__":
    sys.exit(main())
