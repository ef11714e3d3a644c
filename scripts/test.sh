#!/usr/bin/env bash
# Sets everything up and runs every test:
#   1. the test suite on the normal build;
#   2. engravings through LinuxCNC's simulator (engrave-lcnc, as the user LinuxCNC runs as);
#   3. the whole suite again under AddressSanitizer + UndefinedBehaviorSanitizer (and leaks);
#   4. the threaded tests under ThreadSanitizer;
#   5. a short run of every fuzz target (clang, libFuzzer);
#   6. the Debian package: built, lintian, installed, an engraving from its installed example
#      through LinuxCNC against its host-sim's trace, purged (scripts/package-test.sh).
# Any sanitizer report fails the run. ENGRAVING_QUICK=1 runs stage 1 only.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

echo "== 1/6 tests"
scripts/setup.sh build
ctest --test-dir build --output-on-failure -j "$jobs" -LE linuxcnc
[ "${ENGRAVING_QUICK:-0}" = 1 ] && exit 0

echo "== 2/6 LinuxCNC simulator"
# LinuxCNC refuses to run as root: it runs as an ordinary user, made here when missing. One
# LinuxCNC at a time, so these tests run one after the other.
scripts/lcnc-user.sh lcnc
ctest --test-dir build --output-on-failure -L linuxcnc

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp

echo "== 3/6 tests under AddressSanitizer and UndefinedBehaviorSanitizer"
# GCC leaves float-to-int conversions out of "undefined"; decoders convert file values, so ask.
scripts/setup.sh build-asan -DENGRAVING_SANITIZE=address,undefined,float-cast-overflow \
  -DENGRAVING_BUILD_BENCH=OFF
ctest --test-dir build-asan --output-on-failure -j "$jobs"

echo "== 4/6 threaded tests under ThreadSanitizer"
scripts/setup.sh build-tsan -DENGRAVING_SANITIZE=thread -DENGRAVING_BUILD_BENCH=OFF \
  "-DENGRAVING_TEST_DIRS=plugin;engrave;ui;hostsim;lcnc"
ctest --test-dir build-tsan --output-on-failure -j "$jobs"

echo "== 5/6 fuzz smoke"
if [ -x scripts/fuzz.sh ]; then scripts/fuzz.sh smoke; else echo "no fuzz targets yet"; fi

echo "== 6/6 Debian package"
scripts/package-test.sh
