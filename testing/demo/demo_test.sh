#!/usr/bin/env bash
# The demo run as a user runs it, both ways:
#   demo_test.sh BUILD_DIR plain|sanitized
# 1. On free ports it prints every labelled result, exits 0 within 30 s and
#    leaves no process or tree behind.
# 2. With the support node's port taken by another program it names the
#    port on standard error, exits non-zero and leaves nothing behind.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$1
if [ "${2:-plain}" = sanitized ]; then
    echo "skipped: a plain Java VM cannot load libraries built with the address sanitizer"
    exit 77
fi
work=$(mktemp -d)
holder=
trap '[ -n "$holder" ] && kill "$holder" 2>/dev/null; rm -rf "$work"' EXIT
failures=0
check() {  # check WHAT CONDITION...
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
# Processes of a demo tree ([t]: not this script's own command lines).
no_leftovers() { ! pgrep -f "[t]avro-demo-" >/dev/null; }
# The demo's temporary directory, from its first line.
demo_top() { sed -n 's/^== 1. Installation trees under //p' "$work/out"; }
# A free loopback port: bound once by the system, then let go.
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

port=$(free_port)
DEMO_SRA_PORT=$port timeout 30 "$here/demo.sh" "$build" >"$work/out" 2>"$work/err"
status=$?
check "the demo exits 0 (status $status; $(tail -3 "$work/err"))" test "$status" = 0
for label in "-- Director record" "call sendJEXParcel 0" "-- sendJEXParcel returned: 0" \
    "-- Request number issued by the support node: SR-1" "-- History record, director's node" \
    "-- History record, support node" "Current-Role:   Server" "-- Service log" \
    "TavroService.Tavro Director is up" "== 5. Stopped; trees removed" \
    "-- tavrostat, while the director ran" "The Director process is running"; do
    check "the demo prints \"$label\"" grep -qF -- "$label" "$work/out"
done
check "the demo leaves no process behind" no_leftovers
top=$(demo_top)
check "the demo removes its trees" test -n "$top" -a ! -e "$top"

port=$(free_port)
python3 -c 'import socket,sys,time
s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(); time.sleep(60)' "$port" &
holder=$!
for _ in $(seq 50); do ss -ltn | grep -q "127.0.0.1:$port " && break; sleep 0.1; done
DEMO_SRA_PORT=$port timeout 30 "$here/demo.sh" "$build" >"$work/out" 2>"$work/err"
status=$?
check "a taken port fails the demo (status $status)" test "$status" != 0 -a "$status" != 124
check "the failure names the port ($(cat "$work/err"))" grep -q "port $port" "$work/err"
check "the failed demo leaves no process behind" no_leftovers
top=$(demo_top)
check "the failed demo removes its trees" test -n "$top" -a ! -e "$top"

echo "checks done: $failures failed"
[ "$failures" = 0 ]
