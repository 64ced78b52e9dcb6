#!/bin/bash
# Scripted timing of a service start until its log says "Director is up", beside the time the same
# Java director takes to reach its main on its own.
#
# Usage: bench/service_start_timing.sh BUILD_DIR [RUNS]
# Runs the console service (TavroService -Interactive) RUNS times (5 by
# default) on a tree of its own, with the Java test director started by the
# tree's tavro.bat; once the service logs "Director is up" the director is
# ended, and with it the run. Prints each run's times and the medians, and
# the service's own share: start to "Director is up" less the director's
# start to main and the ping wait (300 ms). The service runs at idle
# priority, which the director inherits, so the director's start to main is
# measured at the same priority (nice 19). A run that does not get there
# within 60 s is reported as failed and left out of the medians, and the
# script then exits 1. It uses the fixed link ports
# 9292/9293, so it takes /tmp/tavro-ports.lock for the whole run.
set -euo pipefail

build=$(cd "${1:?usage: $0 BUILD_DIR [RUNS]}" && pwd)
runs=${2:-5}
service="$build/WindowsService/TavroService"
javarun="$build/testing/director/tavro_javarun"
jar="$build/testing/director/tavro-director.jar"
hostsys="$build/Hostsys"
for f in "$service" "$javarun" "$jar"; do
    [ -e "$f" ] || { echo "missing $f: build the project first" >&2; exit 2; }
done

work=$(mktemp -d /tmp/service-start-XXXXXX)
cleanup() {
    local pid
    for pid in $(jobs -p); do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

export TAVRO_PLATFORM_DIR="$work/state"
mkdir -m 700 "$TAVRO_PLATFORM_DIR"
home="$work/tree/vantrix"
mkdir -p "$home"/{bin,specific/tavro/data,specific/tavro/logs,specific/tavro/config} \
    "$home"/{specific/norba/logs,common/share,common/jars}
cp "$service" "$home/bin/TavroService"
: >"$home/common/jars/director.jar"
cat >"$home/bin/tavro.bat" <<EOF
#!/bin/sh
"$javarun" -Djava.class.path="$jar" -Djava.library.path="$hostsys" -DVantrix.Home="$home" \\
    com.pelmar.vantrix.tavro.core.TAVROController -errf </dev/null >/dev/null 2>&1 &
EOF
chmod 700 "$home/bin/tavro.bat"
# A director that is never ended ends by itself after a minute.
export VANTRIX_HOME="$home" TAVRO_DIRECTOR_EXIT_MS=60000

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# Milliseconds until FILE holds TEXT, polling every 2 ms; -1 after 60 s.
wait_for_text() {
    local file=$1 text=$2 start=$3
    while :; do
        if grep -qF "$text" "$file" 2>/dev/null; then
            echo $(($(now_ms) - start))
            return
        fi
        (($(now_ms) - start > 60000)) && { echo -1; return; }
        sleep 0.002
    done
}

median() { sort -n | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

exec 9>/tmp/tavro-ports.lock
flock 9
"$home/bin/TavroService" -i >/dev/null

up_times=()
main_times=()
failed=0
for ((i = 1; i <= runs; i++)); do
    # The director alone: start to its main.
    record="$work/main-$i.txt"
    start=$(now_ms)
    TAVRO_DIRECTOR_RECORD="$record" TAVRO_DIRECTOR_EXIT_MS=0 nice -n 19 \
        "$javarun" -Djava.class.path="$jar" com.pelmar.vantrix.tavro.core.TAVROController \
        </dev/null >/dev/null 2>&1 &
    director=$!
    main=$(wait_for_text "$record" "main" "$start")
    wait "$director" || true

    # The service: start to "Director is up".
    log="$home/specific/tavro/logs/tavroService.log"
    rm -f "$log"
    start=$(now_ms)
    TAVRO_DIRECTOR_RECORD="$work/director-$i.txt" "$home/bin/TavroService" -Interactive \
        </dev/null >/dev/null 2>&1 &
    running=$!
    up=$(wait_for_text "$log" "Director is up" "$start")
    # The director names itself in the status file once linked.
    status="$home/specific/tavro/data/tavro.stat"
    for ((wait = 0; wait < 500; wait++)); do
        grep -q '^SYSTEM_UP ' "$status" 2>/dev/null && break
        sleep 0.01
    done
    kill "$(awk '/^SYSTEM_UP / {print $2}' "$status" 2>/dev/null)" 2>/dev/null || true
    rm -f "$status"
    if ! timeout 60 tail --pid="$running" -f /dev/null; then kill "$running" 2>/dev/null || true; fi
    wait "$running" 2>/dev/null || true
    # A run that never got there is a failed run, not a time: it is named
    # and left out of the medians.
    if ((up < 0 || main < 0)); then
        ((up < 0)) && echo "run $i: FAILED: no \"Director is up\" in the service log within 60 s" >&2
        ((main < 0)) && echo "run $i: FAILED: the director alone did not reach its main within 60 s" >&2
        failed=$((failed + 1))
        continue
    fi
    up_times+=("$up")
    main_times+=("$main")
    echo "run $i: service start to \"Director is up\" $up ms, director start to main $main ms"
done

if ((${#up_times[@]} == 0)); then
    echo "no run succeeded ($failed of $runs failed)" >&2
    exit 1
fi
up=$(printf '%s\n' "${up_times[@]}" | median)
main=$(printf '%s\n' "${main_times[@]}" | median)
echo "median: service start to \"Director is up\" $up ms; director start to main $main ms;" \
    "the service's own share beyond the ping wait (300 ms) and the director's start:" \
    "$(awk -v u="$up" -v m="$main" 'BEGIN {print u - m - 300}') ms"
if ((failed)); then
    echo "$failed of $runs runs failed; the medians are of the ${#up_times[@]} others" >&2
    exit 1
fi
