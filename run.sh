#!/usr/bin/env bash
# Installs what the machine lacks, builds, and runs the system or its tests.
#   ./run.sh demo   build, and run both roads (service host and a service request) on one machine
#   ./run.sh test   build and run the whole test suite (plain and sanitizer builds), and the
#                   library's and the registry's tests in a ThreadSanitizer build
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake ninja-build g++ clang clang-format libgtest-dev libgmock-dev libbenchmark-dev
          libsqlite3-dev libmd-dev zlib1g-dev openjdk-17-jdk-headless python3-aiosmtpd
          libcpp-httplib-dev chromium chromium-driver python3-selenium iproute2)
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

# The test run is a row of stages; within one, a phase that mostly waits (a
# test suite) runs beside one that computes (the next build). Each phase
# writes its own log under build-logs/, printed whole when the phase ends; a
# phase that fails fails the run: no later stage starts, the phases still
# running are waited for, and every failed phase is named at the end.
LOGS=build-logs
declare -A PHASE_PID=()
FAILED=()

start_phase() {  # start_phase NAME command...: run in the background
    local name=$1
    shift
    echo "=== $name: started $(date +%T)"
    "$@" >"$LOGS/$name.log" 2>&1 &
    PHASE_PID[$name]=$!
}

finish_phase() {  # finish_phase NAME: wait for it and print its log
    local name=$1 status=0 started
    wait "${PHASE_PID[$name]}" || status=$?
    unset "PHASE_PID[$name]"
    echo "=== $name: log ($LOGS/$name.log)"
    cat "$LOGS/$name.log"
    if ((status == 0)); then
        echo "=== $name: passed $(date +%T)"
    else
        echo "=== $name: FAILED with status $status $(date +%T)"
        FAILED+=("$name")
    fi
}

run_phase() {  # run_phase NAME command...: in the foreground, with its own log
    start_phase "$@"
    finish_phase "$1"
}

stop_if_failed() {  # after a stage: a failure ends the run, once the phases still running end
    local name
    ((${#FAILED[@]} == 0)) && return
    for name in "${!PHASE_PID[@]}"; do finish_phase "$name"; done
    echo "The test run FAILED in: ${FAILED[*]}" >&2
    exit 1
}

# A test suite runs in a network namespace of its own with only a loopback
# interface, where the machine allows one: a test that reaches beyond it
# fails at once instead of sending a packet.
LOOPBACK_ONLY=()
loopback_only_prefix() {
    if unshare -n sh -c 'ip link set lo up' 2>/dev/null; then
        LOOPBACK_ONLY=(unshare -n sh -c 'ip link set lo up && exec "$@"' loopback-only)
        echo "The test suites run in a network namespace with only a loopback interface."
    else
        echo "No network namespace of our own here: the test suites run in the host's." >&2
    fi
}

configure_and_build() {  # configure_and_build DIR [cmake option...] [-- target...]
    local dir=$1 options=() targets=()
    shift
    while (($#)) && [[ $1 != -- ]]; do options+=("$1"); shift; done
    (($#)) && shift
    for t in "$@"; do targets+=(--target "$t"); done
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}"
    cmake --build "$dir" -j "$JOBS" "${targets[@]}"
}

# A build that runs beside a test suite yields the processors to the suite,
# whose tests then keep their timing: ten steps nicer than the run itself,
# however nice that is.
yielding() {  # yielding command...
    local niceness
    niceness=$(nice)
    renice -n $((niceness + 10 > 19 ? 19 : niceness + 10)) -p "$BASHPID" >/dev/null
    "$@"
}

run_tests() {  # run_tests DIR [ctest options...]
    local dir=$1
    shift
    "${LOOPBACK_ONLY[@]}" ctest --test-dir "$dir" -j "$JOBS" --output-on-failure --timeout 300 "$@"
}

# The library's tests (jexlink/) in a ThreadSanitizer build: only what they
# need is built, and only they run; so do the registry's, whose read cache
# threads and processes share.
TSAN_TARGETS=(jexlink_tests Registry_test)
tsan_library_tests() {
    run_tests build-tsan/jexlink
    run_tests build-tsan/platform -R '^Registry[A-Za-z]+\.'
}

check_format() {  # every C++ source as .clang-format lays it out
    git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
}

check_style() {  # the size and naming house rules over the product code (a few seconds)
    python3 cmake/CheckStyle.py
}

# The quick checks of the tree, run beside the first build. One more is one
# more function here.
QUICK_CHECKS=(check_format check_style)

FUZZ_TARGETS=()
for t in fuzz/*_fuzz.cpp; do FUZZ_TARGETS+=("$(basename "$t" .cpp)"); done
LARGE_INPUT_TARGETS=(JexGatewayFrame_fuzz JexNetMsg_fuzz JexProtocol_fuzz JexLzw_fuzz)

# The clang libFuzzer builds: every target with AddressSanitizer and
# UndefinedBehaviorSanitizer, and the session target once more without their
# checks (some four times as many inputs a second).
build_fuzzers() {
    CC=clang CXX=clang++ configure_and_build build-fuzz -DFUZZ=ON -DBENCHMARKS=OFF \
        -- "${FUZZ_TARGETS[@]}"
    CC=clang CXX=clang++ configure_and_build build-fuzz-fast -DFUZZ=ON -DFUZZ_ASAN=OFF \
        -DBENCHMARKS=OFF -- JexSession_fuzz
}

fuzz_target() {  # fuzz_target NAME: ~10 s over its corpus
    local t=$1 work scratch status=0
    local options=(-max_total_time=10 -timeout=5 -rss_limit_mb=2048 -close_fd_mask=2)
    [[ -f "fuzz/$t.dict" ]] && options+=("-dict=fuzz/$t.dict")
    # New inputs go to a scratch directory; the seed corpus stays as it is.
    # A target's temporary files go to one of their own, removed even when
    # a finding or a timeout ends the target without its exit handlers.
    work=$(mktemp -d)
    scratch=$(mktemp -d)
    TMPDIR="$scratch" timeout 120 "build-fuzz/fuzz/$t" "$work" "fuzz/corpus/$t" "${options[@]}" ||
        status=$?
    rm -rf "$work" "$scratch"
    return "$status"
}

# The session target for as long in the build without sanitizer checks;
# every input that run kept is then replayed in the sanitizer build.
fuzz_session_fast() {
    local work scratch status=0
    work=$(mktemp -d)
    scratch=$(mktemp -d)
    TMPDIR="$scratch" timeout 120 build-fuzz-fast/fuzz/JexSession_fuzz "$work" \
        fuzz/corpus/JexSession_fuzz -max_total_time=10 -timeout=5 -close_fd_mask=2 &&
        TMPDIR="$scratch" timeout 300 build-fuzz/fuzz/JexSession_fuzz "$work" -runs=0 -timeout=5 \
            -close_fd_mask=2 || status=$?
    rm -rf "$work" "$scratch"
    return "$status"
}

# A decoder of frames of up to 16 MiB once more, with room for inputs that
# large: a frame head and its body, the largest item of a net message. First
# it runs one input at its limit (made here, too large to keep in the
# repository), then a short run over its corpus. A small input that
# allocates what it announces fails (the targets' AllocationBound), and so
# does memory beyond the RSS limit; ASan's quarantine is kept small so that
# freed 16 MiB inputs do not fill it.
fuzz_large_inputs() {  # fuzz_large_inputs NAME
    local t=$1 max_len=$(( (1 << 24) + 65536 + 7 )) large work status=0
    large=$(mktemp -d)
    case $t in
        JexGatewayFrame_fuzz)
            { printf '\0\0\0\0\1\1\0d'; head -c $(( (1 << 24) + 65535 )) /dev/zero; } > "$large/limit" ;;
        JexNetMsg_fuzz)
            { printf 'D\1\377\377\377'; head -c $(( (1 << 24) - 1 )) /dev/zero; } > "$large/limit" ;;
        JexProtocol_fuzz)
            { printf 'F/\4\0\0ABCD1\377\377\377'; head -c $(( (1 << 24) - 1 )) /dev/zero; } > "$large/limit" ;;
        JexLzw_fuzz)
            { printf '\1'; head -c $(( 1 << 24 )) /dev/zero; } > "$large/limit" ;;
    esac
    work=$(mktemp -d)
    ASAN_OPTIONS=quarantine_size_mb=64 timeout 120 "build-fuzz/fuzz/$t" "$large" -runs=0 \
        -timeout=60 -max_len="$max_len" -rss_limit_mb=512 -close_fd_mask=2 &&
        ASAN_OPTIONS=quarantine_size_mb=64 timeout 120 "build-fuzz/fuzz/$t" "$work" "fuzz/corpus/$t" \
            -max_total_time=10 -timeout=20 -max_len="$max_len" -len_control=0 -rss_limit_mb=512 \
            -close_fd_mask=2 || status=$?
    rm -rf "$large" "$work"
    return "$status"
}

# Every fuzz run side by side, as many at once as there are processors, each
# with its own scratch directories and time; their logs are printed in the
# order of the list, and any that fails fails the run.
fuzz_briefly() {
    local runs=() name i status
    for t in "${FUZZ_TARGETS[@]}"; do runs+=("fuzz_target $t"); done
    runs+=("fuzz_session_fast")
    for t in "${LARGE_INPUT_TARGETS[@]}"; do runs+=("fuzz_large_inputs $t"); done
    mkdir -p "$LOGS/fuzz"
    for i in "${!runs[@]}"; do
        while (($(jobs -rp | wc -l) >= JOBS)); do wait -n || true; done
        name=$(printf '%02d-%s' "$i" "${runs[$i]// /-}")
        {
            status=0
            ${runs[$i]} >"$LOGS/fuzz/$name.log" 2>&1 || status=$?
            echo "$status" >"$LOGS/fuzz/$name.status"
        } &
    done
    wait
    for i in "${!runs[@]}"; do
        name=$(printf '%02d-%s' "$i" "${runs[$i]// /-}")
        status=$(cat "$LOGS/fuzz/$name.status")
        echo "=== ${runs[$i]}: log"
        cat "$LOGS/fuzz/$name.log"
        if ((status == 0)); then
            echo "=== ${runs[$i]}: passed"
        else
            echo "=== ${runs[$i]}: FAILED with status $status"
            FAILED+=("${runs[$i]}")
        fi
    done
}

run_quick_checks() {
    local check status=0
    for check in "${QUICK_CHECKS[@]}"; do
        echo "--- $check"
        "$check" || { echo "--- $check FAILED"; status=1; }
    done
    return "$status"
}

test_everything() {
    rm -rf "$LOGS"
    mkdir -p "$LOGS"
    loopback_only_prefix
    start_phase quick-checks run_quick_checks
    run_phase plain-build configure_and_build build -DWERROR=ON
    stop_if_failed
    # The benchmarks are built in the plain build only (which never runs them).
    start_phase sanitizer-build yielding configure_and_build build-sanitize -DSANITIZE=ON \
        -DWERROR=ON -DBENCHMARKS=OFF
    run_phase plain-tests run_tests build
    finish_phase sanitizer-build
    stop_if_failed
    start_phase tsan-build yielding configure_and_build build-tsan -DTSAN=ON -DWERROR=ON \
        -DBENCHMARKS=OFF -- "${TSAN_TARGETS[@]}"
    run_phase sanitizer-tests run_tests build-sanitize
    finish_phase tsan-build
    stop_if_failed
    start_phase fuzz-build yielding build_fuzzers
    run_phase tsan-tests tsan_library_tests
    finish_phase fuzz-build
    finish_phase quick-checks
    stop_if_failed
    fuzz_briefly
    stop_if_failed
    echo "The test run passed; the logs are in $LOGS/."
}

case "${1:-}" in
    demo)
        install_missing
        build build
        bash testing/demo/demo.sh build
        ;;
    test)
        install_missing
        test_everything
        ;;
    *)
        echo "usage: $0 demo|test" >&2
        exit 2
        ;;
esac
