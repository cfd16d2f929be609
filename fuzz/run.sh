#!/usr/bin/env bash
# Runs fuzz targets over their seed corpora, several at once, and fails when
# any of them finds a crash or a broken property.
#   fuzz/run.sh BUILD_DIR SECONDS [JOBS] [TARGET...]
# SECONDS is each target's time (-max_total_time); with FUZZ_RUNS set, a
# target also stops after that many executions, whichever comes first. New inputs go to a scratch folder,
# never into the checked-in corpus; crashes are kept in $FUZZ_OUT (default:
# a folder under /tmp) and named in the output.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "$1" && pwd)"
seconds="$2"
jobs="${3:-3}"
shift $(($# < 3 ? $# : 3))
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for d in "$here"/corpus/*/; do targets+=("$(basename "$d")"); done
fi
out="${FUZZ_OUT:-$(mktemp -d /tmp/vostrelin-fuzz.XXXXXX)}"
mkdir -p "$out"

run_one() {
  local name="$1" build="$2" seconds="$3" out="$4" here="$5"
  local scratch="$out/$name.corpus" log="$out/$name.log"
  mkdir -p "$scratch" "$out/$name.crashes"
  local args=(-artifact_prefix="$out/$name.crashes/" -print_final_stats=1)
  args+=(-max_total_time="$seconds")
  [ -n "${FUZZ_RUNS:-}" ] && args+=(-runs="$FUZZ_RUNS")
  [ -f "$here/dict/$name.dict" ] && args+=(-dict="$here/dict/$name.dict")
  if "$build/fuzz/fuzz_$name" "${args[@]}" "$scratch" "$here/corpus/$name" >"$log" 2>&1; then
    echo "fuzz $name: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$') executions, no finding"
  else
    echo "fuzz $name: FAILED, see $log and $out/$name.crashes/"
    grep -m3 -E 'ERROR|property failed|runtime error' "$log" || true
    return 1
  fi
}
export -f run_one
printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one "$@"' _ {} "$build" "$seconds" "$out" "$here"
