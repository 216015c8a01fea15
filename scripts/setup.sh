#!/usr/bin/env bash
# Installs what the project needs on a Debian machine; quick when all is present.
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config libmbedtls-dev libssl-dev
          openjdk-17-jdk-headless libgtest-dev libgmock-dev binutils
          nlohmann-json3-dev libbenchmark-dev opensc)

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
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
