#!/usr/bin/env bash
# setup.sh [PACKAGE...]: installs what the project needs on a Debian machine,
# and the packages named (a name ending in :ARCH, such as libssl-dev:arm64,
# enables that architecture first); quick when all is present.
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config libmbedtls-dev libssl-dev
          openjdk-17-jdk-headless libgtest-dev libgmock-dev binutils
          nlohmann-json3-dev libbenchmark-dev opensc softhsm2
          openssh-client gnutls-bin libengine-pkcs11-openssl libnss3-tools
          pcscd libpcsclite-dev vsmartcard-vpcd p11-kit p11-kit-modules "$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  for p in "${missing[@]}"; do
    arch=${p##*:}
    if [ "$arch" != "$p" ] && [ "$arch" != "$(dpkg --print-architecture)" ] &&
       ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
      $sudo_cmd dpkg --add-architecture "$arch"
    fi
  done
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
