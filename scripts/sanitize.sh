#!/usr/bin/env bash
# Builds everything with clang under sanitizers and runs the whole test
# suite there (the programs the tests start are instrumented as well):
#   build-asan/  AddressSanitizer (leaks included) + UndefinedBehaviorSanitizer
#   build-tsan/  ThreadSanitizer
#
#   bash scripts/sanitize.sh [address|thread]   (both by default)
#
# Any finding fails its test and so the script: sanitizer errors exit
# with 99 (address, undefined) or 66 (thread), never with the programs'
# own statuses.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
if [ $# -eq 0 ]; then kinds=(address thread); else kinds=("$@"); fi

build() {  # directory, sanitizer
  cmake -S . -B "$1" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
    -DFUSE_RESULTS_SANITIZE="$2" >/dev/null
  cmake --build "$1" -j "$(nproc)" >/dev/null
}

for kind in "${kinds[@]}"; do
  case "$kind" in
    address)
      build build-asan address
      # allocator_may_return_null: the readers turn a failed allocation
      # into false, which is what the tests check, not a sanitizer abort.
      ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:exitcode=99:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:allocator_may_return_null=1 \
      UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=99 \
        ctest --test-dir build-asan --output-on-failure --timeout 600 -j "$(nproc)"
      ;;
    thread)
      build build-tsan thread
      # libtbb is not instrumented: scripts/tsan_tbb_sync.c passes its
      # announced hand-overs to ThreadSanitizer, scripts/tsan.supp holds
      # what is left (see both). llvm-symbolizer complains on standard
      # error about the "[stack]" pseudo-file, which would break the tests
      # that check standard error, so it runs quietly.
      clang -O1 -fPIC -shared scripts/tsan_tbb_sync.c \
        -o build-tsan/libtsan_tbb_sync.so
      mkdir -p build-tsan/symbolizer
      printf '#!/bin/sh\nexec %s "$@" 2>/dev/null\n' \
        "$(command -v llvm-symbolizer-14 || command -v llvm-symbolizer)" \
        >build-tsan/symbolizer/llvm-symbolizer
      chmod +x build-tsan/symbolizer/llvm-symbolizer
      export INTEL_LIBITTNOTIFY64="$root/build-tsan/libtsan_tbb_sync.so"
      export INTEL_ITTNOTIFY_GROUPS=sync
      export TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1:suppressions=$root/scripts/tsan.supp:external_symbolizer_path=$root/build-tsan/symbolizer/llvm-symbolizer"
      # The suppressions must not hide a race in a pipeline stage's work.
      if build-tsan/tests/tsan_planted_race >build-tsan/planted_race.log 2>&1 ||
         ! grep -q PlantedLostUpdate build-tsan/planted_race.log; then
        cat build-tsan/planted_race.log >&2
        echo "sanitize.sh: ThreadSanitizer missed the race planted in a pipeline stage" >&2
        exit 1
      fi
      echo "ThreadSanitizer reports the race planted in a pipeline stage"
      ctest --test-dir build-tsan --output-on-failure --timeout 600 -j "$(nproc)"
      unset INTEL_LIBITTNOTIFY64 INTEL_ITTNOTIFY_GROUPS TSAN_OPTIONS
      ;;
    *) echo "usage: $0 [address|thread]" >&2; exit 2 ;;
  esac
done
