#!/usr/bin/env bash
# Runs every test: the suite on the release build (build/), the whole suite
# under AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/) and
# under ThreadSanitizer (build-tsan/), and a short run of every fuzz target
# (build-fuzz/). Sanitizer reports, also those of the program the
# end-to-end tests start, are written to files and any report fails the
# run. Build the trees first:
#   ./setup.sh --with-browser --with-sanitizers --with-fuzz
set -uo pipefail
cd "$(dirname "$0")"
root="$(pwd)"
work="$(mktemp -d /tmp/vostrelin-test.XXXXXX)"
jobs="$(nproc)"

# Left out of the sanitized suites, and why:
# - ManyReconnectsLeaveNothingBehind compares resident size across 2500
#   reconnects; the sanitizers' allocators hold freed memory on purpose, and
#   the instrumented sessions do not reach 1500 within its deadline.
# - AcceptFailuresAreReportedWithoutSpinning fills the descriptor table; the
#   sanitizers' runtime needs a descriptor (a pipe) to check whether memory
#   can be read, and while none can be had it reports faults that are not.
SANITIZED_SKIP='^(Tunnel\.ManyReconnectsLeaveNothingBehind|InspectorServer\.AcceptFailuresAreReportedWithoutSpinning)$'

suite() {  # name build-dir parallel-tests ctest-arguments [-- environment...]
  local name="$1" dir="$2" parallel="$3"
  shift 3
  local args=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do args+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  env "$@" ctest --test-dir "$dir" -j"$parallel" --output-on-failure "${args[@]}" >"$work/$name.log" 2>&1
  echo $? >"$work/$name.rc"
}

mkdir -p "$work/reports"
# Some tests run the program as another user; its reports go here too.
chmod 755 "$work"
chmod 1777 "$work/reports"

# Tests wait for their events with deadlines of seconds, so the machine is
# not loaded past its cores: first the release suite beside the fuzz
# targets (two at a time), then the two sanitized suites, half the cores
# each.
start=$SECONDS
suite release build "$jobs" &
fuzz/run.sh build-fuzz 6 2 >"$work/fuzz.log" 2>&1
echo $? >"$work/fuzz.rc"
wait
first=$((SECONDS - start))

half=$(((jobs + 1) / 2))
# The instrumented program runs several times slower than the plain one;
# the 5 s a local connection may go without taking its backlog is meant
# for the plain build (tests of that bound set their own).
slow=(VOSTRELIN_TEST_STALL_MS=30000)
suite asan build-asan "$half" -E "$SANITIZED_SKIP" -- "${slow[@]}" \
  ASAN_OPTIONS="log_path=$work/reports/asan:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1" \
  UBSAN_OPTIONS="log_path=$work/reports/ubsan:print_stacktrace=1:halt_on_error=1" &
suite tsan build-tsan "$half" -E "$SANITIZED_SKIP" -- "${slow[@]}" \
  TSAN_OPTIONS="log_path=$work/reports/tsan:suppressions=$root/tests/tsan.supp:second_deadlock_stack=1" &
wait
second=$((SECONDS - start - first))

status=0
passed=0
failed=0
for name in release asan tsan; do
  echo "=== $name suite"
  grep -E "tests passed|\(Failed\)|\(Timeout\)|\(Subprocess|Exception|\*\*\*" "$work/$name.log" | tail -40
  if [ "$(cat "$work/$name.rc")" != 0 ]; then
    status=1
    sed -n '/The following tests FAILED/,$p' "$work/$name.log"
    # What each failed assertion said, a few lines each.
    grep -E -A4 '^[^ ]+:[0-9]+: Failure$' "$work/$name.log" | head -80
  fi
  line="$(grep -E '[0-9]+ tests failed out of [0-9]+' "$work/$name.log" | tail -1)"
  if [ -n "$line" ]; then
    f="$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")"
    n="$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")"
    passed=$((passed + n - f))
    failed=$((failed + f))
  else
    status=1
  fi
done
echo "=== fuzz targets"
cat "$work/fuzz.log"
[ "$(cat "$work/fuzz.rc")" = 0 ] || status=1

if compgen -G "$work/reports/*" >/dev/null; then
  echo "=== sanitizer reports"
  for r in "$work/reports"/*; do
    echo "--- $r"
    head -60 "$r"
  done
  status=1
fi

echo "Release suite and fuzz targets: ${first} s; sanitized suites: ${second} s"
echo "Logs: $work"
echo "tests: $passed passed, $failed failed"
exit "$status"
