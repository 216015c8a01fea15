# Sourced by the client tests: a private virtual token with an RSA 2048 and
# an EC P-256 key pair (ids 01 and 02, labels rsakey and eckey) made with
# pkcs11-tool, and beside each a self-signed certificate that OpenSSL's
# pkcs11 engine made with the token key (checked with `openssl verify`),
# written to the token too. Every process started through `started` is
# ended on exit.
#
#   start_client_token KVTOKEN MODULE  sets dir, module, KVP11_SOCKET, OPENSSL_CONF, PIN
#   started PID                        ends PID on exit
#   free_port                          a free TCP port on 127.0.0.1
#   wait_port PORT                     until something listens there
#   check NAME COMMAND...              runs it; counts a failure with its output
#   finish                             exit status: the failures
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/token_daemon.sh"

PIN=12345678
failures=0
pids=()

cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  stop_token
  rm -rf "$dir"
}

started() { pids+=("$1"); }

free_port() {
  perl -MIO::Socket::INET -e 'print IO::Socket::INET->new(Listen => 1, LocalAddr => "127.0.0.1:0")->sockport'
}

wait_port() {
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "nothing listens on port $1" >&2
  return 1
}

check() {
  local name=$1 out
  shift
  if out=$("$@" 2>&1); then
    echo "ok: $name"
  else
    echo "FAILED: $name"
    echo "$out"
    failures=$((failures + 1))
  fi
}

finish() {
  [ "$failures" -eq 0 ] && echo "all passed" || echo "$failures failed"
  [ "$failures" -eq 0 ]
}

start_client_token() {
  local kvtoken=$1 n id
  module=$2
  dir=$(mktemp -d /tmp/kvclient-XXXXXX)
  trap cleanup EXIT
  export HOME=$dir  # the clients' own files (NSS, OpenSSH, Java) stay here
  # A serial of its own: the phone-side mirror of each token is kept by serial.
  local serial
  serial=$(od -An -tx1 -N8 /dev/urandom | tr -d ' \n' | tr a-f A-F)
  "$kvtoken" personalise --state "$dir/state" --serial "$serial" --label Clients >/dev/null
  export KVP11_SOCKET=$dir/token.sock
  serve_token "$kvtoken" "$dir/state" "$KVP11_SOCKET"
  local tool=(pkcs11-tool --module "$module" --login --pin "$PIN")
  "${tool[@]}" --keypairgen --key-type rsa:2048 --id 01 --label rsakey >/dev/null 2>&1
  "${tool[@]}" --keypairgen --key-type EC:prime256v1 --id 02 --label eckey >/dev/null 2>&1
  cat >"$dir/openssl.cnf" <<CONF
openssl_conf = openssl_init
[openssl_init]
engines = engine_section
[engine_section]
pkcs11 = pkcs11_section
[pkcs11_section]
engine_id = pkcs11
dynamic_path = $(ls /usr/lib/*/engines-3/pkcs11.so | head -1)
MODULE_PATH = $module
PIN = $PIN
init = 0
[req]
distinguished_name = dn
[dn]
CONF
  export OPENSSL_CONF=$dir/openssl.cnf
  for n in rsakey:01 eckey:02; do
    id=${n#*:}
    n=${n%:*}
    openssl req -new -x509 -days 2 -engine pkcs11 -keyform engine -key "pkcs11:object=$n;type=private" \
      -subj "/CN=$n" -out "$dir/$n.crt" 2>/dev/null
    openssl verify -CAfile "$dir/$n.crt" "$dir/$n.crt" >/dev/null
    openssl x509 -in "$dir/$n.crt" -outform DER -out "$dir/$n.der"
    "${tool[@]}" --write-object "$dir/$n.der" --type cert --id "$id" --label "$n" >/dev/null 2>&1
  done
}
