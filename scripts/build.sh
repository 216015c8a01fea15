#!/usr/bin/env bash
# build.sh DIR [extra cmake args...]: configure (once) and build with Ninja.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; shift
# The JDK that javac belongs to, for the JNI headers and libjvm.
if [ -z "${JAVA_HOME:-}" ] && command -v javac >/dev/null; then
  export JAVA_HOME=$(dirname "$(dirname "$(readlink -f "$(command -v javac)")")")
fi
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
fi
cmake --build "$dir"
