#!/usr/bin/env bash
# pcsc_test.sh KVTOKEN MODULE: the module on a desktop through PC/SC.
# pcscd runs in the foreground with the virtual reader driver of
# vsmartcard-vpcd on a private reader.conf.d (a free port); the virtual token
# is the card of that reader (kvtoken serve --vpcd). pkcs11-tool, with no
# KVP11_SOCKET, logs in, makes an RSA-2048 and an EC P-256 key pair, signs
# with each, and openssl checks the signatures against the public keys read
# back. The card is then pulled (the token process stops: the driver loses
# its card): a call fails as "no token", and no crash; put back (started
# again on the same state), the keys sign again. The same steps on a fresh
# token over the socket cost the same APDUs as over PC/SC (the token counts).
#
# It runs in a mount namespace of its own (unshare), with a private
# /run/pcscd: nothing outside sees this pcscd or its card. /tmp stays as it
# is, so a build under /tmp is found; the module reaches no socket that
# KVP11_SOCKET does not name, and every token here is served on a socket in
# the test's own folder, so a token at /tmp/kvtoken.sock is never touched.
# Without a namespace it needs root and no other pcscd. Skipped (77) only
# when it is not root and pcscd cannot be started.
set -euo pipefail
kvtoken=$(realpath "$1")
module=$(realpath "$2")
skip() { echo "SKIPPED: $*"; exit 77; }
source "$(dirname "$0")/../../scripts/token_daemon.sh"
for tool in pcscd pkcs11-tool openssl perl; do
  command -v "$tool" >/dev/null || { [ "$(id -u)" = 0 ] && { echo "FAILED: $tool missing (scripts/setup.sh)"; exit 1; }; skip "$tool missing"; }
done
driver=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
if [ ! -f "$driver" ]; then
  [ "$(id -u)" = 0 ] || skip "no vpcd driver (vsmartcard-vpcd)"
  echo "FAILED: no vpcd driver $driver (scripts/setup.sh installs vsmartcard-vpcd)"
  exit 1
fi

if [ -z "${KV_PCSC_PRIVATE:-}" ]; then
  export KV_PCSC_PRIVATE=1
  for ns in "--mount" "--user --map-root-user --mount"; do
    # shellcheck disable=SC2086
    if unshare $ns --propagation private true 2>/dev/null; then
      exec unshare $ns --propagation private "$0" "$@"
    fi
  done
  KV_PCSC_PRIVATE=shared
fi
if [ "$KV_PCSC_PRIVATE" = 1 ]; then
  ipc=/run/pcscd
  [ -d "$ipc" ] || mkdir -p "$ipc" 2>/dev/null || ipc=/run
  mount -t tmpfs tmpfs "$ipc" ||
    { [ "$(id -u)" = 0 ] && { echo "FAILED: no private /run/pcscd"; exit 1; }; skip "no private /run/pcscd"; }
else
  [ "$(id -u)" = 0 ] || skip "pcscd cannot be started: not root and no namespace of its own"
  if token_answers /run/pcscd/pcscd.comm; then
    echo "FAILED: another pcscd runs and this test cannot have one of its own"; exit 1
  fi
fi

dir=$(mktemp -d /tmp/kvpcsc-XXXXXX)
pcscd_pid=
card_pid=
cleanup() {
  local p
  for p in $card_pid $pcscd_pid; do kill "$p" 2>/dev/null || true; done
  for p in $card_pid $pcscd_pid; do wait "$p" 2>/dev/null || true; done
  stop_token
  rm -rf "$dir"
}
trap cleanup EXIT
# The mirror and the lock files go to each run's home in $dir.
unset KVP11_SOCKET XDG_CACHE_HOME XDG_RUNTIME_DIR

port=$(perl -MIO::Socket::INET -e 'print IO::Socket::INET->new(Listen => 1, LocalAddr => "127.0.0.1:0")->sockport')
mkdir "$dir/conf"
printf 'FRIENDLYNAME "Virtual PCD"\nDEVICENAME /dev/null:%d\nLIBPATH %s\nCHANNELID %d\n' \
  "$port" "$driver" "$port" >"$dir/conf/vpcd"
pcscd --foreground --config "$dir/conf" >"$dir/pcscd.log" 2>&1 &
pcscd_pid=$!

failures=0
check() {  # check NAME COMMAND...: the command succeeds
  local name=$1 out
  shift
  if out=$("$@" 2>&1); then
    echo "ok: $name"
  else
    echo "FAILED: $name"; echo "$out"; failures=$((failures + 1))
  fi
}
# until SECONDS COMMAND...: until the command succeeds, at most SECONDS.
until_ok() {
  local tries=$(($1 * 10))
  shift
  while ! "$@" >/dev/null 2>&1; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}
listens() { (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; }
if ! until_ok 10 listens; then
  kill -0 "$pcscd_pid" 2>/dev/null || { [ "$(id -u)" = 0 ] || skip "pcscd cannot be started"; }
  echo "FAILED: pcscd's vpcd reader does not listen on $port"; cat "$dir/pcscd.log"; exit 1
fi

serial=$(od -An -tx1 -N8 /dev/urandom | tr -d ' \n' | tr a-f A-F)
for t in pcsc socket; do
  "$kvtoken" personalise --state "$dir/$t.state" --serial "$serial" --label PCSC >/dev/null
  mkdir "$dir/$t.home"
done
card_in() {  # the card goes into the reader
  "$kvtoken" serve --state "$dir/pcsc.state" --socket "$dir/card.sock" --vpcd "$port" &
  card_pid=$!
}
card_out() {
  kill "$card_pid"
  wait "$card_pid" 2>/dev/null || true
  card_pid=
}
tool() { pkcs11-tool --module "$module" --login --pin 12345678 "$@"; }
token_seen() { pkcs11-tool --module "$module" -T 2>/dev/null | grep -q "PCSC"; }
card_in
HOME=$dir/pcsc.home until_ok 10 token_seen || { echo "FAILED: the module finds no token in the reader"; cat "$dir/pcscd.log"; exit 1; }

head -c 1000 /dev/urandom >"$dir/data"
openssl dgst -sha256 -binary "$dir/data" >"$dir/data.sha256"
# public_pem ID NAME: the public key read back, as PEM. pkcs11-tool's own EC
# key export reads a curve name it has already freed; with the sanitizer
# runtime preloaded (a sanitized module) that report does not stop the tool.
public_pem() {
  ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:halt_on_error=0}" \
    tool --read-object --type pubkey --id "$1" -o "$dir/$2.der" &&
    openssl pkey -pubin -inform DER -in "$dir/$2.der" -out "$dir/$2.pem"
}
signs() {  # signs TAG: both keys sign; openssl checks the signatures
  check "$1 rsa sign" tool --sign -m SHA256-RSA-PKCS --id 01 -i "$dir/data" -o "$dir/rsa.sig"
  check "$1 rsa signature" openssl dgst -sha256 -verify "$dir/rsa.pem" -signature "$dir/rsa.sig" "$dir/data"
  check "$1 ecdsa sign" tool --sign -m ECDSA --signature-format openssl --id 02 -i "$dir/data.sha256" \
    -o "$dir/ec.sig"
  check "$1 ecdsa signature" openssl pkeyutl -verify -pubin -inkey "$dir/ec.pem" -in "$dir/data.sha256" \
    -sigfile "$dir/ec.sig"
}
steps() {  # steps TAG: login, two key pairs, public keys, signatures
  check "$1 login" tool --list-objects
  check "$1 rsa key pair" tool --keypairgen --key-type rsa:2048 --id 01 --label rsa
  check "$1 ec key pair" tool --keypairgen --key-type EC:prime256v1 --id 02 --label ec
  check "$1 rsa public key" public_pem 01 rsa
  check "$1 ec public key" public_pem 02 ec
  signs "$1"
}
# measure TAG SOCKET: the steps after one listing (both paths alike: the
# lock file then holds the token's record); the APDUs counted at the
# token's control SOCKET go to measured.
measure() {
  pkcs11-tool --module "$module" -T >/dev/null 2>&1
  token_control "$2" stats-reset >/dev/null
  steps "$1"
  measured=$(token_control "$2" stats | sed -n 's/.* apdus=\([0-9]*\).*/\1/p')
}

HOME=$dir/pcsc.home measure pcsc "$dir/card.sock"
pcsc_apdus=$measured

card_out
until_ok 10 eval '! token_seen' || { echo "FAILED: the token is still listed with the card pulled"; failures=$((failures + 1)); }
set +e
out=$(HOME=$dir/pcsc.home tool --list-objects 2>&1)
status=$?
set -e
if [ "$status" -ne 0 ] && [ "$status" -lt 128 ] && grep -qiE "no slot with a token|TOKEN_NOT_PRESENT|DEVICE_REMOVED" <<<"$out"; then
  echo "ok: card pulled: $(head -1 <<<"$out")"
else
  echo "FAILED: card pulled: exit $status"; echo "$out"; failures=$((failures + 1))
fi
card_in
HOME=$dir/pcsc.home until_ok 10 token_seen || { echo "FAILED: the module does not find the card put back"; failures=$((failures + 1)); }
HOME=$dir/pcsc.home signs "card put back"

serve_token "$kvtoken" "$dir/socket.state" "$dir/token.sock"
KVP11_SOCKET=$dir/token.sock HOME=$dir/socket.home measure socket "$dir/token.sock"
socket_apdus=$measured
echo "APDUs of the same pkcs11-tool steps: $pcsc_apdus through PC/SC, $socket_apdus through the socket"
if [ -z "$pcsc_apdus" ] || [ "$pcsc_apdus" != "$socket_apdus" ]; then
  echo "FAILED: the two paths differ"; failures=$((failures + 1))
fi

[ "$failures" -eq 0 ] && echo "all passed" || { echo "$failures failed"; cat "$dir/pcscd.log" | tail -40; }
[ "$failures" -eq 0 ]
