#!/usr/bin/env bash
# package_test.sh BUILD_DIR KVTOKEN LIBDIR DATADIR DOCDIR: the Debian
# package as a desktop user gets it. `cpack -G DEB` packs the build; the
# package must hold the module in LIBDIR's pkcs11/ folder (the multiarch
# /usr/lib/<triplet> under the default prefix), the p11-kit module file naming exactly
# that path, and the README. Unpacked into a temporary root (dpkg-deb -x)
# and announced to p11-kit by a user configuration pointing there, the
# module must show in `p11-kit list-modules` and serve the virtual token
# through p11-kit-proxy.so: login, an EC key pair, a signature that OpenSSL
# verifies.
set -euo pipefail
source "$(dirname "$0")/../../scripts/token_daemon.sh"
build=$1
kvtoken=$2
libdir=$3
datadir=$4
docdir=$5
dir=$(mktemp -d /tmp/kvpackage-XXXXXX)
trap 'stop_token; rm -rf "$dir"' EXIT
export HOME=$dir XDG_CACHE_HOME=$dir/.cache
fail() { echo "FAILED: $*" >&2; exit 1; }

(cd "$dir" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$dir/pkg" >/dev/null)
deb=$(ls "$dir"/pkg/*.deb)
triplet=$(gcc -print-multiarch)
library=$libdir/pkcs11/libkvp11.so
modulefile=$datadir/p11-kit/modules/kvp11.module
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\.||' | grep -v '/$' | sort >"$dir/files"
echo "package $(basename "$deb"):"
sed 's/^/  /' "$dir/files"
for want in "$library" "$modulefile" "$docdir/README.md"; do
  grep -qx "$want" "$dir/files" || fail "the package lacks $want"
done

root=$dir/root
dpkg-deb -x "$deb" "$root"
named=$(sed -n 's/^module: *//p' "$root$modulefile")
[ "$named" = "$library" ] || fail "the module file names '$named', not $library"

# p11-kit is told of the unpacked module by a module file naming the
# unpacked library. It reads a user's module files, but not as root: there
# the test gives p11-kit's programs a private view of the system's module
# folder with that file added (a mount namespace of their own).
unpacked=$(sed "s|^module: *|module: $root|" "$root$modulefile")
if [ "$(id -u)" = 0 ]; then
  mkdir "$dir/modules"
  cp /usr/share/p11-kit/modules/*.module "$dir/modules/" 2>/dev/null || true
  echo "$unpacked" >"$dir/modules/kvp11.module"
  p11kit() {
    unshare -m --propagation private sh -c \
      'mount --bind "$0" /usr/share/p11-kit/modules && shift && exec "$@"' "$dir/modules" _ "$@"
  }
else
  mkdir -p "$HOME/.config/pkcs11/modules"
  echo "$unpacked" >"$HOME/.config/pkcs11/modules/kvp11.module"
  p11kit() { "$@"; }
fi

serial=$(od -An -tx1 -N8 /dev/urandom | tr -d ' \n' | tr a-f A-F)
"$kvtoken" personalise --state "$dir/state" --serial "$serial" --label "Packaged" >/dev/null
export KVP11_SOCKET=$dir/token.sock
serve_token "$kvtoken" "$dir/state" "$KVP11_SOCKET"

p11kit p11-kit list-modules >"$dir/listed" 2>&1 || true
awk '/^kvp11:/{found=1} found' "$dir/listed" | grep -q "token: Packaged" ||
  { cat "$dir/listed"; fail "p11-kit list-modules does not show the kvp11 module with its token"; }
echo "ok: p11-kit lists the kvp11 module and its token"

proxy=/usr/lib/$triplet/p11-kit-proxy.so
tool=(p11kit pkcs11-tool --module "$proxy" --token-label Packaged --login --pin 12345678)
"${tool[@]}" --keypairgen --key-type EC:prime256v1 --label pk --id 51 >/dev/null 2>&1 ||
  fail "no key pair through p11-kit-proxy.so"
"${tool[@]}" --read-object --type pubkey --id 51 -o "$dir/pub.der" >/dev/null 2>&1
openssl pkey -pubin -inform DER -in "$dir/pub.der" -out "$dir/pub.pem"
echo "signed through the proxy" >"$dir/data"
openssl dgst -sha256 -binary "$dir/data" >"$dir/hash"
"${tool[@]}" --sign -m ECDSA --id 51 --signature-format openssl -i "$dir/hash" -o "$dir/sig" >/dev/null 2>&1 ||
  fail "no signature through p11-kit-proxy.so"
openssl pkeyutl -verify -pubin -inkey "$dir/pub.pem" -in "$dir/hash" -sigfile "$dir/sig" >/dev/null ||
  fail "OpenSSL does not verify the signature made through the proxy"
echo "ok: key pair and a signature OpenSSL verifies, through p11-kit-proxy.so"
