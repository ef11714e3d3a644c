#!/usr/bin/env bash
# Builds and runs the libFuzzer targets of fuzz/ (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer).
#
#   scripts/fuzz.sh build                   configure and build every target in build-fuzz/
#   scripts/fuzz.sh smoke [SECONDS]         replay fuzz/regressions, then fuzz each target for
#                                           SECONDS (default 30) from its seed corpus; any crash,
#                                           leak, timeout or out-of-memory fails the run
#   scripts/fuzz.sh long [SECONDS] [TARGET...]
#                                           fuzz each target (default: all) for SECONDS (default
#                                           600), growing the working corpus kept in
#                                           fuzz/corpus-run/<target>/ across runs; crashes land in
#                                           fuzz/corpus-run/artifacts/<target>/, logs in
#                                           fuzz/corpus-run/logs/
#   scripts/fuzz.sh repro TARGET FILE...    run one target once over the given inputs
#   scripts/fuzz.sh list                    print the target names
#
# One fuzzer process runs at a time (no -jobs or -workers): the machine is shared.
# FUZZ_BUILD_DIR picks another build folder; FUZZ_ARGS adds libFuzzer flags (e.g.
# FUZZ_ARGS="-fork=1 -ignore_crashes=1" to keep going past a crash in a long run).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${FUZZ_BUILD_DIR:-build-fuzz}
run_dir=fuzz/corpus-run

# Limits every run shares: a decode that takes seconds or allocates more than the image guard
# allows is a finding, not noise.
common_flags=(-timeout=20 -rss_limit_mb=2560 -malloc_limit_mb=1024 -print_final_stats=1)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:allocator_may_return_null=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

targets() {
  local src
  for src in fuzz/fuzz_*.cpp; do basename "$src" .cpp; done
}

build() {
  if ! command -v clang++ >/dev/null; then
    echo "fuzz: clang++ is missing; run scripts/setup.sh first" >&2
    exit 1
  fi
  CC=clang CXX=clang++ cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DENGRAVING_BUILD_FUZZ=ON -DENGRAVING_SANITIZE=address,undefined \
    -DENGRAVING_BUILD_TESTS=OFF -DENGRAVING_BUILD_BENCH=OFF >/dev/null
  cmake --build "$build_dir" -j "$(nproc)" --target fuzz_targets
}

dictionary_flag() {
  local dict=fuzz/dict/$1.dict
  [ -f "$dict" ] && echo "-dict=$dict"
}

# Every saved reproducer must now run clean.
replay_regressions() {
  local target=$1 dir=fuzz/regressions/$1
  [ -d "$dir" ] || return 0
  local files=("$dir"/*)
  [ -e "${files[0]}" ] || return 0
  echo "fuzz: $target: replaying ${#files[@]} regression input(s)"
  "$build_dir/fuzz/$target" "${common_flags[@]}" "${files[@]}" >"$scratch/$target.replay.log" 2>&1 || {
    tail -n 40 "$scratch/$target.replay.log"
    echo "fuzz: $target: a regression input fails again" >&2
    return 1
  }
}

final_stats() {
  grep -aoE '(#[0-9]+[[:space:]]+DONE.*|^stat::number_of_executed_units.*|^stat::peak_rss_mb.*|^Done [0-9]+ runs.*)' "$1" |
    tr '\n' ' '
  echo
}

smoke() {
  local seconds=${1:-30} failed=0 target
  scratch=$(mktemp -d /tmp/engraving-fuzz-smoke.XXXXXX)
  trap 'rm -rf "$scratch"' EXIT
  for target in $(targets); do
    replay_regressions "$target" || failed=1
    mkdir -p "$scratch/$target/corpus" "$scratch/$target/artifacts"
    local log=$scratch/$target.log
    # Seeds come second, so new inputs go to the throwaway folder and the seeds stay as they are.
    if "$build_dir/fuzz/$target" "${common_flags[@]}" -max_total_time="$seconds" \
      -artifact_prefix="$scratch/$target/artifacts/" \
      $(dictionary_flag "$target") ${FUZZ_ARGS:-} \
      "$scratch/$target/corpus" "fuzz/corpus/$target" >"$log" 2>&1; then
      echo "fuzz: $target: ok: $(final_stats "$log")"
    else
      failed=1
      tail -n 60 "$log"
      mkdir -p "$build_dir/fuzz-artifacts/$target"
      cp "$scratch/$target/artifacts/"* "$build_dir/fuzz-artifacts/$target/" 2>/dev/null || true
      echo "fuzz: $target: FAILED (reproducer kept in $build_dir/fuzz-artifacts/$target/)" >&2
    fi
  done
  return $failed
}

long() {
  local seconds=${1:-600} failed=0 target
  shift || true
  local chosen=("$@")
  [ ${#chosen[@]} -gt 0 ] || mapfile -t chosen < <(targets)
  scratch=$(mktemp -d /tmp/engraving-fuzz-long.XXXXXX)
  trap 'rm -rf "$scratch"' EXIT
  for target in "${chosen[@]}"; do
    mkdir -p "$run_dir/$target" "$run_dir/artifacts/$target" "$run_dir/logs"
    local log=$run_dir/logs/$target.log
    echo "fuzz: $target: fuzzing for $seconds s (log $log)"
    if "$build_dir/fuzz/$target" "${common_flags[@]}" -max_total_time="$seconds" \
      -artifact_prefix="$run_dir/artifacts/$target/" \
      $(dictionary_flag "$target") ${FUZZ_ARGS:-} \
      "$run_dir/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
      echo "fuzz: $target: ok: $(final_stats "$log")"
    else
      failed=1
      tail -n 60 "$log"
      echo "fuzz: $target: FAILED (see $run_dir/artifacts/$target/)" >&2
    fi
  done
  return $failed
}

command=${1:-smoke}
shift || true
case "$command" in
  build) build ;;
  smoke) build && smoke "$@" ;;
  long) build && long "$@" ;;
  repro)
    target=${1:?target name}
    shift
    "$build_dir/fuzz/$target" "${common_flags[@]}" "$@"
    ;;
  list) targets ;;
  *)
    sed -n '2,20p' "$0"
    exit 2
    ;;
esac
