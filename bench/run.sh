#!/usr/bin/env bash
# Builds the bench preset (g++ -O2) and runs the LZSS benchmark: every case
# $REPETITIONS times (default 5), medians only, then prints the Markdown table
# and ratios that bench/README.md quotes. Extra arguments go to the benchmark
# (for example --benchmark_filter='/(1048576|16777216|many)').
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset bench >/dev/null
cmake --build --preset bench --target lzss_bench
json=build/bench/lzss_bench.json
build/bench/bench/lzss_bench \
  --benchmark_repetitions="${REPETITIONS:-5}" --benchmark_report_aggregates_only=true \
  --benchmark_min_time=0.2 --benchmark_out="$json" --benchmark_out_format=json "$@"
echo
python3 bench/lzss_report.py "$json"
