#!/usr/bin/env bash
# The system's main job on one machine, over the programs of a build:
#   demo.sh BUILD_DIR
# Two installation trees, each with a platform state of its own: the
# director's node (TavroService, tavrostat, the Java test director,
# libJEXLinkAPI) and a
# support node (a host of the service-request server). The service starts the
# director; once its link is up the director sends one service request over
# an MD5-signed session to the support node and ends. The demo prints what
# each side did, stops everything and removes both trees. A step that fails
# says which and why on standard error, and the demo exits 1.
# DEMO_SRA_PORT (default 9400) is the support node's port.
set -uo pipefail

build=$(cd "${1:?usage: demo.sh BUILD_DIR}" && pwd)
port=${DEMO_SRA_PORT:-9400}
top=$(mktemp -d /tmp/tavro-demo-XXXXXX)
director=$top/director/vantrix  # the tree home is found by this name
support=$top/support
server_pid=
step=

cleanup() {
    local pid
    pid=$(cat "$director/bin/director.pid" 2>/dev/null) && kill "$pid" 2>/dev/null
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    TAVRO_PLATFORM_DIR=$top/director-state "$director/bin/TavroService" -u >/dev/null 2>&1
    rm -rf "$top"
}
trap cleanup EXIT

fail() {
    echo "demo: step $step: $*" >&2
    exit 1
}

# Runs a command of the director's node (its own platform state).
on_director() { TAVRO_PLATFORM_DIR=$top/director-state "$@"; }

step="1 (installation trees)"
echo "== 1. Installation trees under $top"
cmake --install "$build" --prefix "$director" >"$top/install.log" 2>&1 ||
    fail "cmake --install failed: $(tail -1 "$top/install.log")"
mkdir -p "$director"/{common/jars,specific/tavro/{data,logs,config},specific/norba/logs,data,logs,keys} \
    "$support"/{data,logs,Keys,out}
cp "$build/testing/director/tavro-director.jar" "$director/common/jars/" ||
    fail "the test director's jar is not built"
java=$(readlink -f "$(command -v java)") || fail "no java on the PATH"
cat >"$director/bin/tavro.bat" <<BAT
#!/bin/sh
"$java" -Djava.class.path="$director/common/jars/tavro-director.jar" \\
    -Djava.library.path="$director/common/share" -DVantrix.Home="$director" \\
    com.pelmar.vantrix.tavro.core.TAVROController -errf director_err -outf director_out </dev/null &
echo \$! > "$director/bin/director.pid"
BAT
chmod 0755 "$director/bin/tavro.bat"

# The pair's shared MD5 key (where the signing client and the service-request
# server look for it), and who may call the support node.
umask 077
echo "demo shared secret" >"$director/keys/MD5-CLI-SRV"
cp "$director/keys/MD5-CLI-SRV" "$support/Keys/"
printf 'srv/snode/Jex_Sra\tT/127.0.0.1/%s\t1\n' "$port" >"$director/data/jex_route_map.dat"
: >"$support/data/jex_route_map.dat"
: >"$support/data/jex_obligation_map.dat"
echo "allow cli * * * * * * demo" >"$support/data/jex_remote_auth.dat"

settings=$build/testing/programs/jexcore_testapp
on_director "$settings" install "$director" || fail "cannot record the installation directory"
for pair in Local.Domain=cli Local.Node=cnode Remote.Domain=srv Remote.Node=snode \
    SRA.ReplyTimeout=10; do
    on_director "$settings" set "${pair%%=*}" "${pair#*=}" || fail "cannot write setting ${pair%%=*}"
done

step="2 (service-request server on port $port)"
echo "== 2. Service-request server of the support node on 127.0.0.1:$port"
TAVRO_PLATFORM_DIR=$top/support-state SRASERVER_PORT=$port \
    "$build/testing/programs/sraserver_testapp" "$support" "$support/out" 0 \
    >"$top/server.out" 2>"$top/server.err" &
server_pid=$!
for _ in $(seq 100); do
    grep -q '^port ' "$top/server.out" 2>/dev/null && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
done
grep -q '^port ' "$top/server.out" 2>/dev/null ||
    fail "the server is not up: $(cat "$top/server.err" 2>/dev/null)"

step="3 (TavroService and the director)"
echo "== 3. TavroService -Interactive on the director's node"
on_director "$director/bin/TavroService" -i >/dev/null 2>"$top/install.err" ||
    fail "the service was not installed: $(cat "$top/install.err")"
# The director sends its request once linked and ends on its own 6 s after
# its start; meanwhile tavrostat reports it running.
TAVRO_DIRECTOR_RECORD=$top/director.record TAVRO_DIRECTOR_PARCEL=operator@example.com \
    TAVRO_DIRECTOR_EXIT_MS=6000 \
    on_director timeout -k 2 25 "$director/bin/TavroService" -Interactive 2>"$top/service.err" &
service_pid=$!
for _ in $(seq 200); do
    grep -q '^exception ' "$top/director.record" 2>/dev/null && break
    kill -0 "$service_pid" 2>/dev/null || break
    sleep 0.1
done
VANTRIX_HOME=$director on_director "$director/bin/tavrostat" >"$top/tavrostat.out" 2>&1
wait "$service_pid" || fail "the service run failed: $(cat "$top/service.err")"
record=$(cat "$top/director.record" 2>/dev/null)
sent=$(sed -n 's/^call sendJEXParcel //p' <<<"$record")

step="4 (results)"
echo "== 4. Results"
echo "-- Director record"
echo "$record"
echo "-- sendJEXParcel returned: ${sent:-nothing}"
number=$(sed -n 's/^issued //p' "$top/server.out")
echo "-- Request number issued by the support node: ${number:-none}"
echo "-- History record, director's node"
cat "$director/logs/jex_history.log" 2>/dev/null
echo "-- History record, support node"
cat "$support/logs/jex_history.log" 2>/dev/null
echo "-- tavrostat, while the director ran"
cat "$top/tavrostat.out"
echo "-- Service log"
grep -E "Director is up|exiting java|VM exited|shutdown completed|JVM did not|Run. exiting" \
    "$director/specific/tavro/logs/tavroService.log"
[ "$sent" = 0 ] || fail "the service request was not accepted (sendJEXParcel ${sent:-not called})"
[ -n "$number" ] || fail "the support node issued no request number"

step="5 (stop)"
echo "== 5. Stopped; trees removed"
exit 0
