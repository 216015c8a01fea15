# Sourced by the scripts and shell tests that run a virtual token (kvtoken).

# token_answers SOCKET: true when a daemon accepts connections on SOCKET; the
# socket file a stopped daemon leaves behind refuses them.
token_answers() {
  perl -MIO::Socket::UNIX -e 'exit !IO::Socket::UNIX->new(Peer => $ARGV[0])' "$1"
}

# serve_token KVTOKEN STATE SOCKET: serves the token in the background (pid in
# token_pid) and returns once it answers.
serve_token() {
  "$1" serve --state "$2" --socket "$3" &
  token_pid=$!
  for _ in $(seq 250); do
    token_answers "$3" && return 0
    sleep 0.02
  done
  echo "virtual token did not start on $3" >&2
  return 1
}

stop_token() {
  [ -n "${token_pid:-}" ] || return 0
  kill "$token_pid" 2>/dev/null || true
  wait "$token_pid" 2>/dev/null || true
}

# token_control SOCKET COMMAND: one control command of the daemon (stats,
# stats-reset, ...); prints its answer, fails when the daemon refuses it.
token_control() {
  perl -MIO::Socket::UNIX -e '
    my $s = IO::Socket::UNIX->new(Peer => $ARGV[0]) or exit 1;
    my $c = $ARGV[1];
    print $s pack("CV", 5, length $c) . $c;
    read($s, my $h, 8) == 8 or exit 1;
    my ($v, $n) = unpack("l<V", $h);
    my $p = "";
    read($s, $p, $n) if $n;
    print "$p\n" if length $p;
    exit($v < 0 ? 1 : 0);' "$1" "$2"
}
