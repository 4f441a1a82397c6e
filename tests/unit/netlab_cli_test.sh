#!/usr/bin/env bash
# Command line and exit codes of tests/lab/netlab, without making any namespace: `id` and
# `ip` are replaced by stand-ins on PATH, so the script never reaches a real interface.
#   bash netlab_cli_test.sh NETLAB
set -uo pipefail
netlab=$1
fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT

# id: the user id given by FAKE_UID. ip: "netns add/del" succeed (the probe), "link add"
# fails like a kernel without veth; anything else is refused loudly.
cat >"$fake/id" <<'SH'
#!/bin/sh
echo "${FAKE_UID:-0}"
SH
cat >"$fake/ip" <<'SH'
#!/bin/sh
case "$1 $2" in
  "netns add"|"netns del") exit 0 ;;
  "link add") echo "RTNETLINK answers: Operation not supported" >&2; exit 2 ;;
  *) echo "unexpected ip $*" >&2; exit 99 ;;
esac
SH
chmod +x "$fake/id" "$fake/ip"

failures=0
# expect RC STDERR-FRAGMENT [ENV=VALUE...] -- NETLAB-ARGS...
expect() {
  local want_rc=$1 want_text=$2; shift 2
  local env=()
  while [ "$1" != "--" ]; do env+=("$1"); shift; done
  shift
  local err rc
  err=$(env -u ORVANE_LAB_REQUIRED PATH="$fake:$PATH" "${env[@]}" timeout 10 "$netlab" "$@" 2>&1 >/dev/null)
  rc=$?
  if [ "$rc" != "$want_rc" ] || [[ "$err" != *"$want_text"* ]]; then
    echo "FAIL: netlab $* (${env[*]}): exit $rc, wanted $want_rc with \"$want_text\"; stderr:"
    echo "$err" | sed 's/^/    /'
    failures=$((failures + 1))
  fi
}

# A missing or unknown option is a usage error, never a loop or a command.
expect 2 "run: say which command to run"        -- run
expect 2 "--interfaces needs a value"           -- run --interfaces
expect 2 "--devices needs a value"              -- run --devices
expect 2 "--devices needs a value"              -- run --interfaces 2 --devices
expect 2 "unknown option --bogus"               -- run --bogus -- true
expect 2 "run: say which command to run"        -- run --interfaces 2 --
expect 1 "--interfaces must be 1 or 2"          -- run --interfaces 3 -- true
expect 1 "--devices must be a number"           -- run --devices many -- true
expect 2 "--routed needs a value"               -- run --routed
expect 2 "--routed needs a value"               -- up demo --devices 2 --routed
expect 1 "--routed must be a number"            -- run --routed three -- true
expect 1 "--routed must be a number"            -- run --routed 60001 -- true
expect 1 "--routed must be a number"            -- up demo --routed -1
expect 2 "up: say the lab's name"               -- up
expect 2 "--interfaces needs a value"           -- up demo --interfaces
expect 2 "up: unexpected argument extra"        -- up demo extra
expect 1 "lab name must be 1 to 8"              -- up bad_name
expect 2 "exec: say the lab's name"             -- exec demo up
expect 2 "exec: say which command to run"       -- exec demo up --
expect 2 "down: say only the lab's name"        -- down
expect 2 "down: say only the lab's name"        -- down a b
expect 2 "a private network lab"                -- frobnicate
# Without root: skipped, unless the lab is required.
expect 77 "skipped: network namespaces need root"  FAKE_UID=1000 -- run -- true
expect 1 "failed: the lab is required"             FAKE_UID=1000 ORVANE_LAB_REQUIRED=1 -- run -- true
expect 1 "failed: the lab is required"             FAKE_UID=1000 ORVANE_LAB_REQUIRED=1 -- up demo
# Namespaces allowed but the lab cannot be built: a failure whether required or not.
expect 1 "could not build the lab namespaces"   -- run -- true
expect 1 "could not build the lab namespaces"   ORVANE_LAB_REQUIRED=1 -- run --interfaces 2 -- true
expect 1 "could not build the lab namespaces"   -- run --routed 3 -- true
expect 1 "could not build lab demo"             -- up demo --routed 3
# The routed network is named in the usage text.
expect 2 "--routed N"                           -- frobnicate

[ "$failures" = 0 ] || { echo "$failures case(s) failed"; exit 1; }
echo "netlab command line: all cases passed"
