#!/usr/bin/env bash
# Runs the libFuzzer targets (fuzz_*) of the native build.
#
#   scripts/fuzz.sh smoke [SECONDS]          every target for SECONDS each (the test command's run)
#   scripts/fuzz.sh long SECONDS [NAME...]   longer runs, all targets or the named ones
#
# The targets (fuzz/README.md says more), between them every place that
# parses archive bytes or names:
#   archive      whole archives from a structure-aware recipe, through probe,
#                listing (every numbering mode and CheckMode), lookup and extraction
#   probe        probe-mode validation at every length; media extension and base name
#   listing      listing-mode validation and layout detection; one record from
#                arbitrary head bytes under every layout and setting
#   lzss_decode  the LZSS decoder, against the byte-loop reference
#   lzss_scan    the decoded-size scan, against the byte-loop reference
#   lzss_encode  the encoder's levels (pack's), round trip through both decoders;
#                the parse's vector and plain paths alike
#   names        base names, media extensions, entry-name reading and the name round trip
#
# Targets run $FUZZ_JOBS at a time (default 2). smoke: SECONDS defaults to
# $FUZZ_SECONDS or 60, but the whole smoke run is held to $FUZZ_BUDGET seconds
# of wall time (default 420) by shortening every target's run equally. Each
# target starts from its seeds in fuzz/corpus/NAME/, which are only read:
# what the fuzzer finds goes to a scratch directory (a temporary one for smoke
# runs; $FUZZ_WORK/NAME, default build/fuzz-work/NAME, kept between long
# runs), crash reproducers included (a smoke run copies them to
# build/fuzz-crashes/NAME). Any crash, leak or timeout fails the script. The
# build directory is $FUZZ_BUILD (default build/native). Each target's line
# gives its executions and libFuzzer's final coverage (cov: edges, ft: features).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

BUILD=${FUZZ_BUILD:-build/native}
JOBS=${FUZZ_JOBS:-2}
mode=${1:-smoke}

mapfile -t targets < <(find "$BUILD" -type f -name 'fuzz_*' -perm -u+x 2>/dev/null | sort)
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: no fuzz_* targets in $BUILD (build the native preset first)" >&2
  exit 1
fi
[ "$JOBS" -ge 1 ] 2>/dev/null || JOBS=1

case "$mode" in
  smoke)
    seconds=${2:-${FUZZ_SECONDS:-60}}
    budget=${FUZZ_BUDGET:-420}
    rounds=$(( (${#targets[@]} + JOBS - 1) / JOBS ))
    if [ $((seconds * rounds)) -gt "$budget" ]; then
      seconds=$((budget / rounds))
      [ "$seconds" -ge 1 ] || seconds=1
    fi
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    ;;
  long)
    seconds=${2:?usage: scripts/fuzz.sh long SECONDS [NAME...]}
    work=${FUZZ_WORK:-build/fuzz-work}
    if [ $# -gt 2 ]; then
      wanted=("${@:3}")
      selected=()
      for t in "${targets[@]}"; do
        for name in "${wanted[@]}"; do
          [ "$(basename "$t")" = "fuzz_$name" ] && selected+=("$t")
        done
      done
      targets=("${selected[@]}")
      [ ${#targets[@]} -gt 0 ] || { echo "fuzz: no target named ${wanted[*]}" >&2; exit 1; }
    fi
    ;;
  *)
    echo "usage: scripts/fuzz.sh smoke [SECONDS] | long SECONDS [NAME...]" >&2
    exit 2
    ;;
esac

# Runs one target and prints its report in one piece (targets run side by
# side); the exit status is the fuzzer's.
run_target() {  # run_target TARGET
  local name status
  name=$(basename "$1")
  mkdir -p "$work/${name#fuzz_}"
  fuzz_target "$1" >"$work/${name#fuzz_}/report" 2>&1
  status=$?
  cat "$work/${name#fuzz_}/report"
  return "$status"
}

fuzz_target() {  # fuzz_target TARGET
  local target=$1 name scratch log status runs final seeds=()
  name=$(basename "$target")
  name=${name#fuzz_}
  scratch="$work/$name"
  mkdir -p "$scratch/corpus" "$scratch/artifacts"
  [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
  log="$scratch/fuzz.log"
  "$target" "$scratch/corpus" "${seeds[@]}" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$scratch/artifacts/" -print_final_stats=1 >"$log" 2>&1
  status=$?
  runs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}')
  final=$(grep -E '^#[0-9]+' "$log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+')
  if [ "$status" -eq 0 ]; then
    echo "fuzz $name: ok, ${runs:-?} runs in ${seconds}s${final:+, $final}"
  else
    echo "fuzz $name: FAILED (exit $status)"
    tail -n 40 "$log"
    for a in "$scratch"/artifacts/*; do
      [ -e "$a" ] || continue
      keep="$scratch/artifacts"
      if [ "$mode" = smoke ]; then  # the smoke scratch directory is removed at exit
        keep="build/fuzz-crashes/$name"
        mkdir -p "$keep" && cp "$a" "$keep/"
      fi
      echo "fuzz $name: reproducer in $keep/$(basename "$a") (replay: $target FILE)"
    done
  fi
  return "$status"
}

echo "fuzz: ${#targets[@]} targets, ${seconds}s each, $JOBS at a time"
failed=0
running=0
for target in "${targets[@]}"; do
  if [ "$running" -ge "$JOBS" ]; then
    wait -n || failed=$((failed + 1))
    running=$((running - 1))
  fi
  run_target "$target" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=$((failed + 1))
  running=$((running - 1))
done

[ "$failed" -eq 0 ]
