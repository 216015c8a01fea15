#!/usr/bin/env bash
# Cross-builds the module and its unit tests for 64-bit ARM and runs them
# under qemu-user. Tests that start threads are left out: qemu-user on this
# kind of machine does not run guest threads (a plain std::thread program
# hangs there too).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

packages=(g++-aarch64-linux-gnu qemu-user libmbedtls-dev:arm64 libssl-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  dpkg --print-foreign-architectures | grep -q arm64 || dpkg --add-architecture arm64
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

java_home=$(dirname "$(dirname "$(readlink -f "$(command -v javac)")")")
dir="$root/build/arm64"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" -DKV_WERROR=ON \
      -DKV_JNI_INCLUDE="$java_home/include;$java_home/include/linux"
cmake --build "$dir"
(cd "$dir" && ctest -L unit --timeout 120 -E 'ThreadMutex|Interlocked|SharedPtr.CopiesFromManyThreads')
