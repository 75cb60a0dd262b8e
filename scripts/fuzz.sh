#!/usr/bin/env bash
# Runs the libFuzzer targets (fuzz_*) of the native build.
#
#   scripts/fuzz.sh smoke [SECONDS]          every target for SECONDS each
#   scripts/fuzz.sh long SECONDS [NAME...]   longer runs, all targets or the named ones
#
# smoke: SECONDS defaults to $FUZZ_SECONDS or 60, but the whole smoke run is
# held to $FUZZ_BUDGET seconds (default 300) by shortening every target's run
# equally. Each target starts from its seeds in fuzz/corpus/NAME/, which are
# only read: what the fuzzer finds goes to a scratch directory (a temporary
# one for smoke runs; $FUZZ_WORK/NAME, default build/fuzz-work/NAME, kept
# between long runs), crash reproducers included (a smoke run copies them to
# build/fuzz-crashes/NAME). Any crash, leak or timeout fails the script. The
# build directory is $FUZZ_BUILD (default build/native).
set -uo pipefail
cd "$(dirname "$0")/.."

BUILD=${FUZZ_BUILD:-build/native}
mode=${1:-smoke}

mapfile -t targets < <(find "$BUILD" -type f -name 'fuzz_*' -perm -u+x 2>/dev/null | sort)
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: no fuzz_* targets in $BUILD (build the native preset first)" >&2
  exit 1
fi

case "$mode" in
  smoke)
    seconds=${2:-${FUZZ_SECONDS:-60}}
    budget=${FUZZ_BUDGET:-300}
    if [ $((seconds * ${#targets[@]})) -gt "$budget" ]; then
      seconds=$((budget / ${#targets[@]}))
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

failed=0
for target in "${targets[@]}"; do
  name=$(basename "$target")
  name=${name#fuzz_}
  scratch="$work/$name"
  mkdir -p "$scratch/corpus" "$scratch/artifacts"
  seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
  log="$scratch/fuzz.log"
  "$target" "$scratch/corpus" "${seeds[@]}" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$scratch/artifacts/" -print_final_stats=1 >"$log" 2>&1
  status=$?
  runs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}')
  if [ "$status" -eq 0 ]; then
    echo "fuzz $name: ok, ${runs:-?} runs in ${seconds}s"
  else
    failed=$((failed + 1))
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
done

[ "$failed" -eq 0 ]
