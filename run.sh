#!/usr/bin/env bash
# Installs what the machine lacks, builds, and runs the system or its tests.
#   ./run.sh demo   build, and run both roads (service host and a service request) on one machine
#   ./run.sh test   build and run the whole test suite (plain and sanitizer builds), and the
#                   library's and the registry's tests in a ThreadSanitizer build
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

# The library's tests (jexlink/) in a ThreadSanitizer build: only what they
# need is built, and only they run; so do the registry's, whose read cache
# threads and processes share.
tsan_library_tests() {
    cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTSAN=ON -DWERROR=ON
    cmake --build build-tsan -j "$JOBS" --target jexlink_tests Registry_test
    run_tests build-tsan/jexlink
    ctest --test-dir build-tsan/platform -j "$JOBS" --output-on-failure --timeout 300 \
        -R '^Registry[A-Za-z]+\.'
}

check_format() {  # every C++ source as .clang-format lays it out
    git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
}

run_tests() {  # run_tests DIR
    ctest --test-dir "$1" -j "$JOBS" --output-on-failure --timeout 300
}

fuzz_briefly() {  # clang libFuzzer build of fuzz/*_fuzz.cpp, each run ~10 s over its corpus
    local targets=() t work scratch options
    for t in fuzz/*_fuzz.cpp; do targets+=("$(basename "$t" .cpp)"); done
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFUZZ=ON
    cmake --build build-fuzz -j "$JOBS" --target "${targets[@]}"
    for t in "${targets[@]}"; do
        # New inputs go to a scratch directory; the seed corpus stays as it is.
        # A target's temporary files go to one of their own, removed even when
        # a finding or a timeout ends the target without its exit handlers.
        work=$(mktemp -d)
        scratch=$(mktemp -d)
        options=(-max_total_time=10 -timeout=5 -rss_limit_mb=2048 -close_fd_mask=2)
        [[ -f "fuzz/$t.dict" ]] && options+=("-dict=fuzz/$t.dict")
        TMPDIR="$scratch" timeout 120 "build-fuzz/fuzz/$t" "$work" "fuzz/corpus/$t" "${options[@]}"
        rm -rf "$work" "$scratch"
    done
    # The session target once more, for as long, in a build without
    # sanitizer checks (some four times as many inputs); every input that
    # run kept is then replayed in the sanitizer build.
    CC=clang CXX=clang++ cmake -S . -B build-fuzz-fast -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DFUZZ=ON -DFUZZ_ASAN=OFF
    cmake --build build-fuzz-fast -j "$JOBS" --target JexSession_fuzz
    work=$(mktemp -d)
    scratch=$(mktemp -d)
    TMPDIR="$scratch" timeout 120 build-fuzz-fast/fuzz/JexSession_fuzz "$work" \
        fuzz/corpus/JexSession_fuzz -max_total_time=10 -timeout=5 -close_fd_mask=2
    TMPDIR="$scratch" timeout 300 build-fuzz/fuzz/JexSession_fuzz "$work" -runs=0 -timeout=5 \
        -close_fd_mask=2
    rm -rf "$work" "$scratch"
    # The decoders of frames of up to 16 MiB once more, with room for inputs
    # that large: a frame head and its body, the largest item of a net
    # message. First each runs one input at its limit (made here, too large
    # to keep in the repository), then a short run over its corpus. A small
    # input that allocates what it announces fails (the targets'
    # AllocationBound), and so does memory beyond the RSS limit; ASan's
    # quarantine is kept small so that freed 16 MiB inputs do not fill it.
    local max_len=$(( (1 << 24) + 65536 + 7 )) large
    large=$(mktemp -d)
    mkdir "$large"/{JexGatewayFrame_fuzz,JexNetMsg_fuzz,JexProtocol_fuzz,JexLzw_fuzz}
    { printf '\0\0\0\0\1\1\0d'; head -c $(( (1 << 24) + 65535 )) /dev/zero; } > "$large/JexGatewayFrame_fuzz/limit"
    { printf 'D\1\377\377\377'; head -c $(( (1 << 24) - 1 )) /dev/zero; } > "$large/JexNetMsg_fuzz/limit"
    { printf 'F/\4\0\0ABCD1\377\377\377'; head -c $(( (1 << 24) - 1 )) /dev/zero; } > "$large/JexProtocol_fuzz/limit"
    { printf '\1'; head -c $(( 1 << 24 )) /dev/zero; } > "$large/JexLzw_fuzz/limit"
    for t in JexGatewayFrame_fuzz JexNetMsg_fuzz JexProtocol_fuzz JexLzw_fuzz; do
        ASAN_OPTIONS=quarantine_size_mb=64 timeout 120 "build-fuzz/fuzz/$t" "$large/$t" -runs=0 \
            -timeout=60 -max_len="$max_len" -rss_limit_mb=512 -close_fd_mask=2
        work=$(mktemp -d)
        ASAN_OPTIONS=quarantine_size_mb=64 timeout 120 "build-fuzz/fuzz/$t" "$work" "fuzz/corpus/$t" \
            -max_total_time=10 -timeout=20 -max_len="$max_len" -len_control=0 -rss_limit_mb=512 \
            -close_fd_mask=2
        rm -rf "$work"
    done
    rm -rf "$large"
}

case "${1:-}" in
    demo)
        install_missing
        build build
        bash testing/demo/demo.sh build
        ;;
    test)
        install_missing
        check_format
        build build -DWERROR=ON
        run_tests build
        build build-sanitize -DSANITIZE=ON -DWERROR=ON
        run_tests build-sanitize
        tsan_library_tests
        fuzz_briefly
        ;;
    *)
        echo "usage: $0 demo|test" >&2
        exit 2
        ;;
esac
