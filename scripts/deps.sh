#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need,
# when any is missing: apt-get update once, then apt-get install -y.
set -euo pipefail
packages=(cmake ninja-build ccache g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
          libace-dev omniidl omniorb-idl libomniorb4-dev libcos4-dev omniorb-nameserver omniorb
          nlohmann-json3-dev libsqlite3-dev libsqlitecpp-dev libssl-dev openssl libmicrohttpd-dev prometheus-cpp-dev
          libjs-dygraphs libmodbus-dev libcurl4-openssl-dev
          # test only: cpp-httplib as the tests' HTTP client, and the
          # pseudo-terminal pair of the Modbus RTU tests
          libcpp-httplib-dev socat
          # test only: headless Chromium for the dashboard's browser tests, and
          # the real Prometheus that tests/web's scrape test starts
          chromium python3-websocket prometheus
          # test only: promtool and amtool check packaging/'s rules and
          # configuration; a real Alertmanager and an SMTP sink on loopback
          # for the alerting tests
          prometheus-alertmanager python3-aiosmtpd)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
