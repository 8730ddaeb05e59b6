#!/bin/sh
# alertmanager_routes_test.sh CONFIG: each alert below must reach exactly the
# receivers named before it (amtool config routes test).
command -v amtool >/dev/null || { echo "amtool not installed"; exit 77; }
config=$1
failed=0
while read -r receivers labels; do
  [ -z "$receivers" ] && continue
  # shellcheck disable=SC2086 # labels are words on purpose
  if ! amtool config routes test --config.file="$config" --verify.receivers="$receivers" $labels 2>/dev/null; then
    echo "FAILED: $labels: expected $receivers"
    failed=1
  fi
done <<'CASES'
tmx-critical  alertname=TmxWaterLeak severity=critical instrument=tmx-1 housing=electronics episode=12
tmx-critical  alertname=TmxWebDown severity=critical instrument=tmx-1 job=tmx
tmx-warning   alertname=TmxTemperatureHigh severity=warning instrument=tmx-1 housing=spectrograph episode=13
tmx-warning   alertname=TmxArchiveWriteFailing severity=warning instrument=tmx-1
tmx-oncall    alertname=TmxAlarmUnacknowledged severity=page instrument=tmx-1 housing=electronics episode=12
tmx-watchdog  alertname=Watchdog severity=none
tmx-warning   alertname=TmxSomethingNew instrument=tmx-1
CASES
exit $failed
