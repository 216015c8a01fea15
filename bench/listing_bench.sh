#!/usr/bin/env bash
# listing_bench.sh KVTOKEN MODULE: `pkcs11-tool --login -O` with 4 and with
# 40 objects (2 and 20 EC key pairs), cold (no phone mirror) and warm, on a
# virtual token with the latency model of a USB token (1 ms per USB message,
# 3 ms per card command): the APDUs it counted and the wall time; beside it
# the same runs on SoftHSM2 (time only).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/token_daemon.sh"
kvtoken=$1
module=$2
work=$(mktemp -d /tmp/kvlisting-XXXXXX)
serial=$(od -An -tx1 -N8 /dev/urandom | tr -d ' \n' | tr a-f A-F)
mirror=${XDG_CACHE_HOME:-$HOME/.cache}/kvp11/$serial  # the module's phone-side mirror
trap 'stop_token; rm -rf "$work" "$mirror"' EXIT
"$kvtoken" personalise --state "$work/token.state" --serial "$serial" >/dev/null
export KVP11_SOCKET=$work/token.sock
serve_token "$kvtoken" "$work/token.state" "$KVP11_SOCKET"
mkdir "$work/softhsm"
printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$work/softhsm" >"$work/softhsm2.conf"
export SOFTHSM2_CONF=$work/softhsm2.conf
softhsm2-util --init-token --free --label listing --pin 12345678 --so-pin 12345678 >/dev/null
softhsm=$(dpkg -L softhsm2-common libsofthsm2 2>/dev/null | grep -m1 '/libsofthsm2\.so$' || echo /usr/lib/softhsm/libsofthsm2.so)

ms() { echo $(( ($(date +%s%N) - $1) / 1000000 )); }
listing() {  # listing MODULE: runs the listing; prints its milliseconds
  local start
  start=$(date +%s%N)
  pkcs11-tool --module "$1" --login --pin 12345678 -O >/dev/null 2>&1
  ms "$start"
}
pairs() {  # pairs FROM TO: EC key pairs on both modules
  local i
  for i in $(seq "$1" "$2"); do
    for m in "$module" "$softhsm"; do
      pkcs11-tool --module "$m" --login --pin 12345678 --keypairgen --key-type EC:prime256v1 \
        --label "k$i" --id "$(printf '%02x' "$i")" >/dev/null 2>&1
    done
  done
}
row() {  # row OBJECTS STATE
  [ "$2" = cold ] && rm -rf "$mirror"
  token_control "$KVP11_SOCKET" "latency 1000 3000" >/dev/null
  token_control "$KVP11_SOCKET" stats-reset >/dev/null
  local ours apdus theirs
  ours=$(listing "$module")
  apdus=$(token_control "$KVP11_SOCKET" stats | sed -n 's/.* apdus=\([0-9]*\).*/\1/p')
  token_control "$KVP11_SOCKET" "latency 0 0" >/dev/null
  theirs=$(listing "$softhsm")
  printf '%-8s %-5s %6s %10s %12s\n' "$1" "$2" "$apdus" "$ours ms" "$theirs ms"
}

echo "== pkcs11-tool --login -O (latency model 1 ms / 3 ms on the virtual token)"
printf '%-8s %-5s %6s %10s %12s\n' objects state APDUs kvp11 SoftHSM2
pairs 1 2
row 4 cold
row 4 warm
pairs 3 20
row 40 cold
row 40 warm
