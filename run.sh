#!/usr/bin/env bash
# Installs what the machine lacks, builds, and runs the system or its tests.
#   ./run.sh demo   build and run the service host on a self-contained tree
#   ./run.sh test   build and run the whole test suite (plain and sanitizer builds)
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake ninja-build g++ clang libgtest-dev libgmock-dev libbenchmark-dev
          libsqlite3-dev openjdk-17-jdk-headless)
JOBS=$(nproc)

install_missing() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    if ((${#missing[@]})); then
        echo "Installing: ${missing[*]}"
        apt-get update
        DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
    fi
}

build() {  # build DIR [cmake options...]
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$dir" -j "$JOBS"
}

run_tests() {  # run_tests DIR
    ctest --test-dir "$1" -j "$JOBS" --output-on-failure --timeout 300
}

fuzz_briefly() {  # clang libFuzzer build of fuzz/*_fuzz.cpp, each run ~10 s over its corpus
    local targets=() t work
    for t in fuzz/*_fuzz.cpp; do targets+=("$(basename "$t" .cpp)"); done
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFUZZ=ON
    cmake --build build-fuzz -j "$JOBS" --target "${targets[@]}"
    for t in "${targets[@]}"; do
        # New inputs go to a scratch directory; the seed corpus stays as it is.
        work=$(mktemp -d)
        timeout 120 "build-fuzz/fuzz/$t" "$work" "fuzz/corpus/$t" -max_total_time=10 -timeout=5 -rss_limit_mb=2048 -close_fd_mask=2
        rm -rf "$work"
    done
}

# A self-contained tree: the service program, a director that the tree's
# tavro.bat starts (it talks the socket link and ends by itself after
# DEMO_SECONDS, 8 by default), and a platform state of its own. The service
# runs in the console until the director ends or Ctrl-C.
run_demo() {
    local top tree
    top=$(mktemp -d /tmp/tavro-demo-XXXXXX)
    tree=$top/vantrix
    export TAVRO_PLATFORM_DIR=$top/state
    # shellcheck disable=SC2064  # the paths are fixed now
    trap "kill \$(cat '$tree/bin/director.pid' 2>/dev/null) 2>/dev/null; rm -rf '$top'" EXIT
    mkdir -p "$tree"/{bin,common/jars,common/share,specific/tavro/{data,logs,config},specific/norba/logs}
    : > "$tree/common/jars/director.jar"
    cp build/WindowsService/TavroService "$tree/bin/"
    cat > "$tree/bin/tavro.bat" <<'BAT'
#!/bin/sh
"$(dirname "$0")/director.sh" </dev/null &
BAT
    cat > "$tree/bin/director.sh" <<'DIRECTOR'
#!/bin/bash
cd "$(dirname "$0")"
echo $$ > director.pid
say() { echo "director $$: $*" >&2; }
exec 3<>"/dev/tcp/$(hostname)/9293" || { say "no service link"; exit 1; }
IFS= read -r -t 1 -n 30 hello <&3
say "service link says $hello; answering with my pid"
printf '%d' $$ >&3
say "running for ${DEMO_SECONDS:-8} seconds"
sleep "${DEMO_SECONDS:-8}"
say "stopping by myself"
DIRECTOR
    chmod +x "$tree/bin/tavro.bat" "$tree/bin/director.sh"

    echo "== Tree: $tree"
    "$tree/bin/TavroService" -i >/dev/null
    echo "== TavroService -Interactive (Ctrl-C ends it earlier)"
    "$tree/bin/TavroService" -Interactive || true
    echo "== Director output"
    cat "$tree/specific/norba/logs/director_err.txt" 2>/dev/null || true
    echo "== Service log"
    grep -E "Director is up|exiting java|shutdown completed|JVM did not|Run. exiting" \
        "$tree/specific/tavro/logs/tavroService.log" || true
    "$tree/bin/TavroService" -u >/dev/null || true
}

case "${1:-}" in
    demo)
        install_missing
        build build
        run_demo
        ;;
    test)
        install_missing
        build build -DWERROR=ON
        run_tests build
        build build-sanitize -DSANITIZE=ON -DWERROR=ON
        run_tests build-sanitize
        fuzz_briefly
        ;;
    *)
        echo "usage: $0 demo|test" >&2
        exit 2
        ;;
esac
