#!/usr/bin/env bash
# openssh_test.sh KVTOKEN MODULE: OpenSSH with the module. ssh-keygen -D
# lists both token keys (the EC one needs KVP11_EC_POINT=der); ssh-agent
# takes them with ssh-add -s, and signatures made through the agent
# (ssh-keygen -Y sign) verify with ssh-keygen -Y verify against the keys
# ssh-keygen -D printed.
set -euo pipefail
source "$(dirname "$0")/client_token.sh"
start_client_token "$1" "$2"
export KVP11_EC_POINT=der

listed=$(ssh-keygen -D "$module")
check "ssh-keygen -D lists the RSA key" grep -q "^ssh-rsa .* rsakey$" <<<"$listed"
check "ssh-keygen -D lists the EC key" grep -q "^ecdsa-sha2-nistp256 .* eckey$" <<<"$listed"

eval "$(ssh-agent -s -P "$module")" >/dev/null
started "$SSH_AGENT_PID"
printf '#!/bin/sh\necho %s\n' "$PIN" >"$dir/askpass"
chmod 700 "$dir/askpass"
check "ssh-add -s" env SSH_ASKPASS="$dir/askpass" SSH_ASKPASS_REQUIRE=force DISPLAY=:0 ssh-add -s "$module"
echo "signed through the agent" >"$dir/message"
for key in ssh-rsa ecdsa-sha2-nistp256; do
  grep "^$key " <<<"$listed" >"$dir/$key.pub"
  (printf 'tester '; cat "$dir/$key.pub") >"$dir/$key.allowed"
  rm -f "$dir/message.sig"
  check "$key: ssh-keygen -Y sign through the agent" ssh-keygen -Y sign -f "$dir/$key.pub" -n file "$dir/message"
  check "$key: ssh-keygen -Y verify" \
    ssh-keygen -Y verify -f "$dir/$key.allowed" -I tester -n file -s "$dir/message.sig" <"$dir/message"
done
finish
