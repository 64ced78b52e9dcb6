#!/usr/bin/env bash
# Installs what the machine lacks, builds, and runs the system or its tests.
#   ./run.sh demo   build and run the service host on a self-contained tree
#   ./run.sh test   build and run the whole test suite (plain and sanitizer builds)
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake ninja-build g++ clang clang-format libgtest-dev libgmock-dev libbenchmark-dev
          libsqlite3-dev libmd-dev zlib1g-dev openjdk-17-jdk-headless python3-aiosmtpd
          libcpp-httplib-dev chromium chromium-driver python3-selenium)
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

check_format() {  # every C++ source as .clang-format lays it out
    git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
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

# A self-contained tree: the service program, the test director (its jar,
# started by the tree's tavro.bat in a Java process, with libHostsys for its
# native shutdown wait), and a platform state of its own. The service runs in
# the console until the director ends by itself after DEMO_SECONDS (8 by
# default) or Ctrl-C.
run_demo() {
    local top tree java
    top=$(mktemp -d /tmp/tavro-demo-XXXXXX)
    tree=$top/vantrix
    java=$(readlink -f "$(command -v java)")
    export TAVRO_PLATFORM_DIR=$top/state
    export TAVRO_DIRECTOR_EXIT_MS=$(( ${DEMO_SECONDS:-8} * 1000 ))
    # shellcheck disable=SC2064  # the paths are fixed now
    trap "kill \$(cat '$tree/bin/director.pid' 2>/dev/null) 2>/dev/null; rm -rf '$top'" EXIT
    mkdir -p "$tree"/{bin,common/jars,common/share,specific/tavro/{data,logs,config},specific/norba/logs}
    cp build/testing/director/tavro-director.jar "$tree/common/jars/"
    cp build/WindowsService/TavroService "$tree/bin/"
    cat > "$tree/bin/tavro.bat" <<BAT
#!/bin/sh
"$java" -Djava.class.path="$tree/common/jars/tavro-director.jar" \\
    -Djava.library.path="$PWD/build/Hostsys" -DVantrix.Home="$tree" \\
    com.pelmar.vantrix.tavro.core.TAVROController -errf director_err -outf director_out </dev/null &
echo \$! > "$tree/bin/director.pid"
BAT
    chmod +x "$tree/bin/tavro.bat"

    echo "== Tree: $tree"
    "$tree/bin/TavroService" -i >/dev/null
    echo "== TavroService -Interactive (Ctrl-C ends it earlier)"
    "$tree/bin/TavroService" -Interactive || true
    echo "== Director record"
    cat "$tree/specific/norba/logs/director_out.txt" 2>/dev/null || true
    echo "== Director status file"
    cat "$tree/specific/tavro/data/tavro.stat" 2>/dev/null || true
    echo "== Service log"
    grep -E "Director is up|exiting java|VM exited|shutdown completed|JVM did not|Run. exiting" \
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
        check_format
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
