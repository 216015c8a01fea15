#!/usr/bin/env bash
# The test command, warnings as errors: the whole CTest suite in a normal
# build and in an ASan+UBSan build (the desktop clients, label "clients",
# in the normal build only: they load the module as shipped), the
# multi-process stress test (label
# "stress", about two minutes; scripts/stress.sh runs it longer) in the
# normal build, and the tests labelled "threads" in a ThreadSanitizer build.
# Each stage prints its time.
#
# The tests serve their virtual tokens on private sockets only, and the
# module reaches no socket that KVP11_SOCKET does not name. To prove it, a
# token served at the old default socket (/tmp/kvtoken.sock) before the
# suites must still answer on the same socket after them; one served there
# for the run (when none was) must also have received no command. While
# another test run holds the socket's lock, it is not watched.
#
# The suites run with a home and a cache folder of their own (HOME,
# XDG_CACHE_HOME); the account's real home must come out of them untouched.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/token_daemon.sh"
normal=$root/build/test
tsan=$root/build/tsan
default_socket=/tmp/kvtoken.sock

stage() {  # stage NAME COMMAND...
  local name=$1 start=$SECONDS
  shift
  "$@"
  echo "== stage $name: $((SECONDS - start)) s"
}

run_ctest() {  # run_ctest DIR [ctest args...]; the tests do not keep the lock
  local dir=$1
  shift
  (cd "$dir" && ctest --output-on-failure -j "$(nproc)" "$@") 9>&-
}

tsan_build() {  # only what the tests labelled "threads" need
  [ -f "$tsan/build.ninja" ] ||
    cmake -S "$root" -B "$tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_WERROR=ON -DKV_TSAN=ON
  cmake --build "$tsan" --target threads_tests
}

watched=""  # the default socket's inode, while a token answers there
ours=""     # set when the token there is the one served for the run
watch_default_socket() {
  if ! { exec 9>>"$default_socket.lock"; } 2>/dev/null || ! flock -n 9; then
    echo "default socket: locked by another test run; not watched"
    return
  fi
  if token_answers "$default_socket"; then
    echo "default socket: watching the token served there"
  else
    local dir
    dir=$(mktemp -d /tmp/kvwatch-XXXXXX)
    trap 'stop_token; rm -rf "'"$dir"'"' EXIT
    "$normal/sim/kvtoken" personalise --state "$dir/token.state" >/dev/null
    serve_token "$normal/sim/kvtoken" "$dir/token.state" "$default_socket"
    ours=1
    echo "default socket: a token is served there for the run"
  fi
  watched=$(stat -c %i "$default_socket")
}

check_default_socket() {
  [ -n "$watched" ] || return 0
  if ! token_answers "$default_socket" || [ "$(stat -c %i "$default_socket")" != "$watched" ]; then
    echo "FAILED: the token served at $default_socket before the suites no longer answers there"
    return 1
  fi
  echo "ok: the token served at $default_socket before the suites still answers there"
  [ -n "$ours" ] || return 0
  local stats
  stats=$(token_control "$default_socket" stats)
  if ! grep -q "messages_in=0 " <<<"$stats"; then
    echo "FAILED: the suites reached the token at $default_socket: $stats"
    return 1
  fi
  echo "ok: nothing of the suites reached the token at $default_socket"
}

real_home=$(getent passwd "$(id -u)" | cut -d: -f6)
own_home() {
  test_home=$(mktemp -d /tmp/kvhome-XXXXXX)
  home_stamp=$(mktemp /tmp/kvhome-stamp-XXXXXX)
  export HOME=$test_home XDG_CACHE_HOME=$test_home/.cache
}
check_real_home() {
  [ -n "$real_home" ] && [ -d "$real_home" ] || return 0
  local touched
  touched=$(find "$real_home" -xdev -newer "$home_stamp" 2>/dev/null | head -20)
  rm -f "$home_stamp"
  if [ -n "$touched" ]; then
    echo "FAILED: the suites wrote into the real home $real_home:"
    echo "$touched"
    return 1
  fi
  rm -rf "$test_home"
  echo "ok: nothing written into the real home $real_home"
}

stage setup "$root/scripts/setup.sh"
stage "normal build" "$root/scripts/build.sh" "$normal" -DKV_WERROR=ON
watch_default_socket
own_home
stage "normal suite" run_ctest "$normal" -LE stress
stage "stress" run_ctest "$normal" -L stress
stage "ASan+UBSan build" "$root/scripts/build.sh" "$root/build/sanitize" -DKV_WERROR=ON -DKV_SANITIZE=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  stage "ASan+UBSan suite" run_ctest "$root/build/sanitize" -LE stress
stage "TSan build" tsan_build
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 stage "TSan threads tests" run_ctest "$tsan" -L threads
check_default_socket
check_real_home
