#!/usr/bin/env bash
# Runs the monitor against a simulated instrument.
#
#   scripts/demo.sh [--run-dir DIR | --temp] [--watch-log FILE] [--no-build]
#                   [--build-dir DIR] [--tls] [--modbus]
#
# Installs what is missing (scripts/deps.sh), builds into build/, prepares a
# run directory (default: run/ in the repository; --temp: a fresh temporary
# one) with tmx.cfg, a loggers file (drifting simulated values), a port file
# and logfiles/. With --modbus the electronics housing's logger is a
# simulated Modbus TCP transmitter (tmx-modbus-sim, on a free loopback port)
# read as a real one would be. The demo then starts omniNames on a free
# loopback port, tmx-notifier, tmx-watch and tmx-web (HTTP on a free loopback
# port, its archive tmx-history.sqlite in the run directory, the housings'
# limits from tmx.cfg; the address is
# printed as "dashboard: ..."), and runs
# tmx with this terminal as its console: records printed by tmx-watch are
# prefixed "[watch]"; type a line to publish it, "quit" to end.
# Ctrl-C once shuts only the monitor's CORBA side down (its SIGINT: nothing
# more is published, while sampling, logging and the console go on);
# Ctrl-C again stops the monitor in order (SIGTERM).
# Everything the demo started is stopped when it ends.
# --tls: every program runs over TLS with its own certificate (made once by
# scripts/make-certs.sh in the run directory's certs/); the notifier takes
# pushes from the monitor's certificate only.
#
# While it runs, scripts/tmx-sim changes the simulated instrument, e.g.
#   scripts/tmx-sim wet electronics     scripts/tmx-sim set TMX-E1 temp 25.0
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
run_dir="$root/run"
temp_run=0
watch_log=""
build=1
build_dir="$root/build"
tls=0
modbus=0
while [ $# -gt 0 ]; do
  case "$1" in
    --run-dir) run_dir="${2:?--run-dir needs a directory}"; shift 2 ;;
    --run-dir=*) run_dir="${1#*=}"; shift ;;
    --temp) temp_run=1; shift ;;
    --watch-log) watch_log="${2:?--watch-log needs a file}"; shift 2 ;;
    --watch-log=*) watch_log="${1#*=}"; shift ;;
    --no-build) build=0; shift ;;
    --build-dir) build_dir="${2:?--build-dir needs a directory}"; shift 2 ;;
    --build-dir=*) build_dir="${1#*=}"; shift ;;
    --tls) tls=1; shift ;;
    --modbus) modbus=1; shift ;;
    -h|--help) sed -n '2,28p' "$0"; exit 0 ;;
    *) echo "demo.sh: unknown option: $1 (see --help)" >&2; exit 2 ;;
  esac
done

say() { printf 'demo: %s\n' "$*" >&2; }

bin="$build_dir/bin"
if [ "$build" = 1 ]; then
  bash "$root/scripts/deps.sh"
  say "building into $build_dir"
  cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build_dir" -j "$(nproc 2>/dev/null || echo 2)" \
    --target tmx tmx-notifier tmx-watch tmx-status tmx-web tmx-history tmx-modbus-sim
fi
bin=$(cd "$bin" 2>/dev/null && pwd) || { say "no build in $build_dir (build first)"; exit 1; }
for p in tmx tmx-notifier tmx-watch tmx-web $([ "$modbus" = 1 ] && echo tmx-modbus-sim); do
  [ -x "$bin/$p" ] || { say "missing $bin/$p (build first)"; exit 1; }
done

# --- state that the cleanup handler looks at -------------------------------
pids_watch="" pid_web="" pid_notifier="" pid_names="" pid_tmx="" pid_modbus=""
names_dir=""
interrupts=0

stop_pid() { # stop_pid PID NAME: SIGTERM, up to 10 s, then SIGKILL
  local pid="$1" name="$2" i
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for ((i = 0; i < 100; i++)); do
    kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null || true; return 0; }
    sleep 0.1
  done
  say "$name ($pid) did not stop on SIGTERM; killing it"
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  trap - EXIT INT TERM
  if [ -n "$pid_tmx" ] && kill -0 "$pid_tmx" 2>/dev/null; then
    say "stopping tmx (orderly shutdown takes about 5 s)"
    kill -TERM "$pid_tmx" 2>/dev/null || true
    for ((i = 0; i < 300; i++)); do kill -0 "$pid_tmx" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$pid_tmx" 2>/dev/null && kill -KILL "$pid_tmx" 2>/dev/null
    wait "$pid_tmx" 2>/dev/null || true
  fi
  for p in $pids_watch; do stop_pid "$p" tmx-watch; done
  stop_pid "$pid_web" tmx-web
  stop_pid "$pid_notifier" tmx-notifier
  stop_pid "$pid_names" omniNames
  stop_pid "$pid_modbus" tmx-modbus-sim
  [ -n "$names_dir" ] && rm -rf "$names_dir"
  if [ "$temp_run" = 1 ] && [ -n "${run_dir:-}" ]; then
    say "run directory was $run_dir (kept)"
  fi
}
on_signal() {
  local sig="$1"
  if [ "$sig" = INT ] && [ -n "$pid_tmx" ] && kill -0 "$pid_tmx" 2>/dev/null; then
    interrupts=$((interrupts + 1))
    if [ "$interrupts" = 1 ]; then
      say "Ctrl-C: the monitor's CORBA side shuts down; it keeps sampling, logging and reading the console (type quit to end it). Ctrl-C again stops it"
      return
    fi
    say "stopping the monitor (SIGTERM)"
    kill -TERM "$pid_tmx" 2>/dev/null || true
    return
  fi
  exit $([ "$sig" = INT ] && echo 130 || echo 143)
}
trap cleanup EXIT
trap 'on_signal INT' INT
trap 'on_signal TERM' TERM

# --- run directory -----------------------------------------------------------
if [ "$temp_run" = 1 ]; then
  run_dir=$(mktemp -d "${TMPDIR:-/tmp}/tmx-demo.XXXXXX")
fi
mkdir -p "$run_dir/logfiles"
run_dir=$(cd "$run_dir" && pwd)

# Same port for both housings, one status line each (active low).
cfg="$run_dir/tmx.cfg"
[ -e "$cfg" ] && chmod u+w "$cfg"
cat >"$cfg" <<'EOF'
# TMX site configuration (demo): sensor id, logger library version,
# logger read argument, parallel port base address, water line mask.
# Limits: lowest and highest temperature, highest RH, dew-point margin,
# hysteresis ("-" for none).
TMX-S1 V3.5-Beta3,1,0x378,0x20	# spectrograph housing
TMX-E1 V3.5-Beta3,2,0x378,0x40	# electronics housing
TMX-S1-LIMITS 10,30,60,3,0.5	# spectrograph: 10..30 degC, RH below 60 %, 3 degC above dew point
TMX-E1-LIMITS 5,35,60,3,0.5	# electronics: 5..35 degC, RH below 60 %, 3 degC above dew point
EOF

# The electronics housing's logger: simulated here, or (--modbus) the
# simulated Modbus transmitter, read through the real Modbus path.
electronics_logger="sim temp=24.10 rh=35.5 drift=1.2 period=900 noise=0.03"
rm -f "$run_dir/modbus.sim"
if [ "$modbus" = 1 ]; then
  setsid "$bin/tmx-modbus-sim" serve --temp 24.10 --rh 35.5 >"$run_dir/modbus-sim.out" 2>&1 &
  pid_modbus=$!
  modbus_port=""
  for ((i = 0; i < 100; i++)); do
    modbus_port=$(sed -n 's|^tmx-modbus-sim: serving 127.0.0.1:\([0-9]*\)$|\1|p' "$run_dir/modbus-sim.out" 2>/dev/null)
    [ -n "$modbus_port" ] && break
    kill -0 "$pid_modbus" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$modbus_port" ] || { say "tmx-modbus-sim did not start (see $run_dir/modbus-sim.out)"; exit 1; }
  # For scripts/tmx-sim: where the transmitter is and how to reach it.
  printf 'port=%s\nbin=%s\n' "$modbus_port" "$bin/tmx-modbus-sim" >"$run_dir/modbus.sim"
  electronics_logger="modbus-tcp host=127.0.0.1 port=$modbus_port temp=holding:0:int16:0.01 rh=holding:1:uint16:0.01"
  say "tmx-modbus-sim on 127.0.0.1:$modbus_port (the electronics housing's transmitter)"
fi

cat >"$run_dir/loggers" <<EOF
# Data loggers (README, "Loggers and water lines"); values drift slowly.
# scripts/tmx-sim set TMX-E1 temp 25.0 changes a value while tmx runs.
version V3.5-Beta3
logger 1 TMX-S1 sim temp=18.25 rh=41.0 drift=0.8 period=600 noise=0.03
logger 2 TMX-E1 $electronics_logger
EOF

# Port space stand-in: every status line high (dry).
head -c 1024 /dev/zero | tr '\0' '\377' >"$run_dir/port.dev"

export TMX_CONFIG_DIR="$run_dir"
export TMX_LOG_DIR="$run_dir/logfiles"
export TMX_LOGGERS="$run_dir/loggers"
unset TMX_LOGGER_SIM
export TMX_PORT_DEVICE="$run_dir/port.dev"

# The services run in sessions of their own: the terminal's Ctrl-C is meant
# for the monitor, not for them.

# --- naming service on a free loopback port -------------------------------------
port_in_use() {
  command -v ss >/dev/null 2>&1 || return 1
  ss -Htln 2>/dev/null | awk '{print $4}' | grep -q "[:.]$1\$"
}
names_ready() {
  nameclt -ORBInitRef "NameService=corbaloc::127.0.0.1:$1/NameService" list >/dev/null 2>&1
}
ns_port=""
for attempt in 1 2 3 4 5; do
  port=$((20000 + RANDOM % 40000))
  port_in_use "$port" && continue
  names_dir=$(mktemp -d "${TMPDIR:-/tmp}/tmx-names.XXXXXX")
  setsid omniNames -start "$port" -datadir "$names_dir" -nohostname \
    -ORBendPoint "giop:tcp:127.0.0.1:$port" >"$run_dir/omniNames.out" 2>&1 &
  pid_names=$!
  for ((i = 0; i < 100; i++)); do
    names_ready "$port" && { ns_port=$port; break; }
    kill -0 "$pid_names" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$ns_port" ] && break
  stop_pid "$pid_names" omniNames
  pid_names=""
  rm -rf "$names_dir"
  names_dir=""
done
[ -n "$ns_port" ] || { say "could not start omniNames (see $run_dir/omniNames.out)"; exit 1; }
# Every program finds the naming service there (over plain TCP, also with
# --tls) and makes references that name the loopback address only.
ns=(-ORBInitRef "NameService=corbaloc::127.0.0.1:$ns_port/NameService")
certs="$run_dir/certs"
if [ "$tls" = 1 ]; then
  [ -s "$certs/ca.pem" ] || bash "$root/scripts/make-certs.sh" "$certs" >/dev/null
  say "over TLS, certificates in $certs"
fi
orb_for() { # orb_for PROGRAM: sets orb to the ORB options of PROGRAM
  if [ "$tls" = 1 ]; then
    orb=("${ns[@]}" -ORBsslCAFile "$certs/ca.pem" -ORBsslKeyFile "$certs/$1.pem"
         -ORBsslKeyPassword "$(cat "$certs/password")" -ORBendPoint giop:ssl:127.0.0.1:)
  else
    orb=("${ns[@]}" -ORBendPoint giop:tcp:127.0.0.1:)
  fi
}
printf 'NameService=corbaloc::127.0.0.1:%s/NameService\n' "$ns_port" >"$run_dir/nameservice"
say "omniNames on 127.0.0.1:$ns_port"

# --- notifier service and a consumer ---------------------------------------------
orb_for tmx-notifier
push_allow=()
[ "$tls" = 1 ] && push_allow=(--push-allow tmx)
setsid "$bin/tmx-notifier" "${orb[@]}" "${push_allow[@]}" >"$run_dir/notifier.out" 2>&1 &
pid_notifier=$!
bound=0
for ((i = 0; i < 100; i++)); do
  if nameclt "${ns[@]}" list 2>/dev/null | grep -q 'Notifier'; then bound=1; break; fi
  kill -0 "$pid_notifier" 2>/dev/null || break
  sleep 0.1
done
[ "$bound" = 1 ] || { say "tmx-notifier did not bind \"Notifier\" (see $run_dir/notifier.out)"; exit 1; }

orb_for tmx-watch
if [ -n "$watch_log" ]; then
  setsid "$bin/tmx-watch" "${orb[@]}" >>"$watch_log" 2>&1 &
  pids_watch=$!
  say "tmx-watch writes to $watch_log (tail -f it)"
else
  setsid "$bin/tmx-watch" "${orb[@]}" > >(tee -a "$run_dir/watch.log" | sed -u 's/^/[watch] /') 2>&1 &
  pids_watch=$!
fi
# Subscribed before the monitor starts, so its first notices are seen.
for ((i = 0; i < 100; i++)); do
  grep -q 'subscribed' "$run_dir/notifier.out" 2>/dev/null && break
  kill -0 "$pids_watch" 2>/dev/null || { say "tmx-watch ended early"; exit 1; }
  sleep 0.1
done

# --- tmx-web on a free loopback port (port 0: it picks one and prints it) -----------
# --config: the dashboard shows each housing's limits from the demo's tmx.cfg.
# --local-operator: whoever uses this workstation may acknowledge and shelve
# alarms on the dashboard.
orb_for tmx-web
setsid "$bin/tmx-web" "${orb[@]}" --archive "$run_dir/tmx-history.sqlite" --listen 127.0.0.1:0 \
  --config "$cfg" --local-operator "${USER:-operator}" >"$run_dir/web.out" 2>&1 &
pid_web=$!
web_url=""
for ((i = 0; i < 100; i++)); do
  web_url=$(sed -n 's|^tmx-web: serving \(http://[^ ]*/\)$|\1|p' "$run_dir/web.out" 2>/dev/null | head -n 1)
  [ -n "$web_url" ] && break
  kill -0 "$pid_web" 2>/dev/null || break
  sleep 0.1
done
[ -n "$web_url" ] || { say "tmx-web did not start (see $run_dir/web.out)"; exit 1; }

orb_for tmx-status
cat >&2 <<EOF
demo: run directory $run_dir
demo:   tmx.cfg, loggers, port.dev, logfiles/ (the monitor's log), tmx-history.sqlite (tmx-web's archive)
demo: dashboard: $web_url   (tmx-web's output: $run_dir/web.out)
demo: in another terminal:
demo:   curl ${web_url}api/current   curl ${web_url}metrics
demo:   $bin/tmx-history --archive $run_dir/tmx-history.sqlite stats
demo:   scripts/tmx-sim --run-dir $run_dir wet electronics   # then: dry electronics
demo:   scripts/tmx-sim --run-dir $run_dir set TMX-E1 temp 25.0   # 40: past its limit
demo:   $bin/tmx-status ${orb[*]}
demo: type a line to publish it; "quit" ends the monitor and the demo.
EOF

# --- the monitor, with this terminal as its console -------------------------------------
# Started in the background so that signals reach this script while it
# waits; its standard input is given explicitly (a background command
# would otherwise read /dev/null).
cd "$run_dir"
orb_for tmx
"$bin/tmx" "${orb[@]}" <&0 &
pid_tmx=$!
# errexit off: bash ends the script when a trapped signal interrupts wait.
set +e
while kill -0 "$pid_tmx" 2>/dev/null; do
  wait "$pid_tmx" 2>/dev/null
done
wait "$pid_tmx" 2>/dev/null
tmx_status=$?
set -e
pid_tmx=""
say "tmx ended with status $tmx_status"
latest_log=$(ls -t "$run_dir/logfiles" 2>/dev/null | head -n 1) || true
[ -n "$latest_log" ] && say "its log: $run_dir/logfiles/$latest_log"
exit "$tmx_status"
