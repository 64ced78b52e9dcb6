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

case "${1:-}" in
    demo)
        install_missing
        build build
        echo "Built deliverables:"
        find build -maxdepth 2 -type f -executable \( -name 'TavroService' -o -name '*.so' \) -print
        ;;
    test)
        install_missing
        build build -DWERROR=ON
        run_tests build
        build build-sanitize -DSANITIZE=ON -DWERROR=ON
        run_tests build-sanitize
        ;;
    *)
        echo "usage: $0 demo|test" >&2
        exit 2
        ;;
esac
