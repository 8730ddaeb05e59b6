#!/usr/bin/env bash
# Makes a site certificate authority and one certificate per program, for
# trying TMX over TLS.
#
#   scripts/make-certs.sh [--days N] [--password PW] [--test-certs] DIR
#
# DIR/ca.pem            the authority's certificate (-ORBsslCAFile)
# DIR/ca.key            its key (unencrypted: keep it off the instrument)
# DIR/PROGRAM.pem       for tmx, tmx-notifier, tmx-watch, tmx-status and
#                       tmx-web: the certificate (subject CN=PROGRAM, signed
#                       by the authority) followed by its private key,
#                       encrypted with the password (-ORBsslKeyFile and
#                       -ORBsslKeyPassword)
# DIR/password          the password (default "tmx-site"; --password)
# With --test-certs also:
# DIR/expired.pem       CN=expired, from the site authority, valid in 2020 only
# DIR/foreign.pem       CN=foreign, from another authority (DIR/foreign-ca.pem)
# DIR/plain-key.pem     CN=plain-key, its key not encrypted
#
# Certificates are valid for --days days (default 825). A site with its own
# authority gives each program a PEM file of the same form instead.
set -euo pipefail

days=825
password=tmx-site
test_certs=0
while [ $# -gt 0 ]; do
  case "$1" in
    --days) days="${2:?--days needs a number}"; shift 2 ;;
    --password) password="${2:?--password needs a value}"; shift 2 ;;
    --test-certs) test_certs=1; shift ;;
    -h|--help) sed -n '2,21p' "$0"; exit 0 ;;
    -*) echo "make-certs.sh: unknown option: $1 (see --help)" >&2; exit 2 ;;
    *) break ;;
  esac
done
[ $# -eq 1 ] || { echo "usage: make-certs.sh [--days N] [--password PW] [--test-certs] DIR" >&2; exit 2; }
dir=$1
mkdir -p "$dir"
umask 077
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# authority NAME: DIR/NAME.pem and DIR/NAME.key, a self-signed CA.
authority() {
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -sha256 -days "$days" -subj "/O=TMX site/CN=$1" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
    -keyout "$dir/$2.key" -out "$dir/$2.pem" 2>/dev/null
}

# issue CN CA-NAME START END ENCRYPT: DIR/CN.pem, certificate then key.
# START and END are openssl ca dates (YYYYMMDDHHMMSSZ), or empty for now
# and --days.
issue() {
  local cn=$1 ca=$2 start=$3 end=$4 encrypt=$5
  local key="$work/$cn.key" csr="$work/$cn.csr" cert="$work/$cn.crt"
  if [ "$encrypt" = 1 ]; then
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -aes-256-cbc \
      -pass "pass:$password" -out "$key" 2>/dev/null
    openssl req -new -key "$key" -passin "pass:$password" -subj "/O=TMX site/CN=$cn" -out "$csr"
  else
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$key" 2>/dev/null
    openssl req -new -key "$key" -subj "/O=TMX site/CN=$cn" -out "$csr"
  fi
  # openssl ca, unlike x509 -req, takes explicit validity dates.
  local db="$work/db-$cn"
  mkdir -p "$db"
  : >"$db/index"
  cat >"$db/ca.cnf" <<EOF
[ca]
default_ca = site
[site]
database = $db/index
new_certs_dir = $db
serial = $db/serial
default_md = sha256
policy = any
copy_extensions = none
x509_extensions = leaf
[any]
commonName = supplied
organizationName = optional
[leaf]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth,clientAuth
EOF
  openssl rand -hex 16 >"$db/serial"
  local dates=(-days "$days")
  [ -n "$start" ] && dates=(-startdate "$start" -enddate "$end")
  openssl ca -batch -notext -config "$db/ca.cnf" -cert "$dir/$ca.pem" -keyfile "$dir/$ca.key" \
    "${dates[@]}" -in "$csr" -out "$cert" 2>/dev/null
  cat "$cert" "$key" >"$dir/$cn.pem"
}

authority "TMX site authority" ca
for program in tmx tmx-notifier tmx-watch tmx-status tmx-web; do
  issue "$program" ca "" "" 1
done
printf '%s\n' "$password" >"$dir/password"
if [ "$test_certs" = 1 ]; then
  issue expired ca 20200101000000Z 20200102000000Z 1
  authority "Another authority" foreign-ca
  issue foreign foreign-ca "" "" 1
  issue plain-key ca "" "" 0
fi
chmod 644 "$dir/ca.pem"
echo "make-certs.sh: certificates in $dir (key password in $dir/password)"
