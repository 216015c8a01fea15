#!/usr/bin/env bash
# Builds and runs the benchmarks (release build), then one workload through
# our module (a fresh virtual token on a private socket) and through SoftHSM2
# (a fresh token in a temporary folder), with a table of the two side by side.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/token_daemon.sh"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build/bench" -DCMAKE_BUILD_TYPE=Release
"$root/build/bench/bench/digest_bench" "$@"
"$root/build/bench/bench/cipher_bench" "$@"
"$root/build/bench/bench/fs_load_bench"
"$root/build/bench/bench/p11_login_bench"
"$root/build/bench/bench/token_sign_bench"
"$root/build/bench/bench/find_objects_bench"
"$root/build/bench/bench/process_switch_bench"
"$root/bench/listing_bench.sh" "$root/build/bench/sim/kvtoken" "$root/build/bench/libkvp11.so"

work=$(mktemp -d /tmp/kvbench-XXXXXX)
serial=$(od -An -tx1 -N8 /dev/urandom | tr -d ' \n' | tr a-f A-F)
mirror=${XDG_CACHE_HOME:-$HOME/.cache}/kvp11/$serial  # the module's phone-side mirror
trap 'stop_token; rm -rf "$work" "$mirror"' EXIT
compare="$root/build/bench/bench/p11_compare"

# Our module: a fresh virtual token on a private socket, which also counts the APDUs.
kvtoken="$root/build/bench/sim/kvtoken"
"$kvtoken" personalise --state "$work/token.state" --serial "$serial" --label "Bench" \
    --user-pin 12345678 --so-pin 87654321 >/dev/null
serve_token "$kvtoken" "$work/token.state" "$work/token.sock"
# SoftHSM2: a fresh token in the temporary folder.
mkdir "$work/softhsm"
printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$work/softhsm" >"$work/softhsm2.conf"
export SOFTHSM2_CONF=$work/softhsm2.conf
softhsm2-util --init-token --free --label bench --pin 1234 --so-pin 1234 >/dev/null
softhsm=$(dpkg -L softhsm2-common libsofthsm2 2>/dev/null | grep -m1 '/libsofthsm2\.so$' ||
          echo /usr/lib/softhsm/libsofthsm2.so)

# The two modules take turns, three rounds each, so that a busy spell of the
# machine weighs on both alike; the table keeps each row's best round.
for round in 1 2 3; do
  echo
  echo "== round $round: kvp11 (virtual token) =="
  KVP11_SOCKET=$work/token.sock "$compare" "$root/build/bench/libkvp11.so" 12345678 --apdus "$work/token.sock" |
    tee -a "$work/kvp11.txt"
  echo "== round $round: SoftHSM2 =="
  "$compare" "$softhsm" 1234 | tee -a "$work/softhsm2.txt"
done

# Rows: name ns/op median MB/s APDUs/op xOpenSSL status (bench/p11_compare).
# speed = SoftHSM2's time / ours (above 1: ours is faster; on the openssl_
# rows, which run the same code in both processes, it shows how steady the
# machine was); xO = fraction of raw OpenSSL's speed on the same work (row
# openssl_ROW); a row that failed in any round shows that round's status.
echo
echo "== kvp11 / SoftHSM2, best of three rounds =="
awk 'function us(ns) { return ns == "n/a" ? "n/a" : sprintf("%.2f", ns / 1000) }
     function best(a, v) { return (a == "" || a == "n/a" || (v != "n/a" && v + 0 < a + 0)) ? v : a }
     function ratio(a, b) { return (a == "" || a == "n/a" || b == "" || b == "n/a") ? "-" : sprintf("%.2f", a / b) }
     BEGIN { printf "%-24s %12s %12s %7s %9s %9s %7s  %s\n", "row", "kvp11 us/op", "SoftHSM2", "speed",
                    "kvp11 xO", "SoftHSM xO", "APDUs", "kvp11 status" }
     $1 ~ /^(#|row$)/ { next }
     FNR == NR { peer[$1] = best(peer[$1], $2); next }
     !($1 in ns) { order[++rows] = $1 }
     { ns[$1] = best(ns[$1], $2); apdus[$1] = $5
       if (!($1 in status) || $7 !~ /^ok/) status[$1] = $7 }
     END { for (i = 1; i <= rows; ++i) {
             r = order[i]; ref = "openssl_" r
             printf "%-24s %12s %12s %7s %9s %9s %7s  %s\n", r, us(ns[r]), us((r in peer) ? peer[r] : "n/a"),
                    ratio(peer[r], ns[r]), ratio(ns[ref], ns[r]), ratio(peer[ref], peer[r]), apdus[r], status[r] } }' \
  "$work/softhsm2.txt" "$work/kvp11.txt"
