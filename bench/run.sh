#!/usr/bin/env bash
# Runs every benchmark of BENCHMARKS.md on this machine and writes the results:
#   build-bench/results/message.json   parse and serialize (Google Benchmark)
#   build-bench/results/whole.json     download, burst, idle, fan-out
#   build-bench/results/results.md     the table, every row beside its reference
#
# Installs what it needs (Debian packages), builds into build-bench/, and runs the
# whole-process benchmarks in a private network namespace when it can (as root), so that
# the client's fixed port 9002 is free; otherwise on the host's loopback, where port 9002
# must be free. Takes about two minutes. Options go to bench/whole_process.py, for example
#   bench/run.sh --only burst --repeat 5
set -euo pipefail
cd "$(dirname "$0")/.."

KQ7_WITH_BENCH=1 scripts/deps.sh
scripts/build.sh build-bench -DKQ7_BUILD_BENCH=ON -DKQ7_BUILD_TESTS=OFF >&2

out=build-bench/results
mkdir -p "$out" build-bench/bench-work
rm -f "$out/whole.json"

echo "== parse and serialize" >&2
build-bench/bench/bench_message --benchmark_repetitions=3 --benchmark_min_time=0.2 \
  --benchmark_out="$out/message.json" --benchmark_out_format=json >&2

whole=(python3 bench/whole_process.py --build build-bench --work build-bench/bench-work
       --out "$out/whole.json" "$@")
if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
  unshare -n sh -c 'ip link set lo up && exec "$@"' sh "${whole[@]}"
else
  echo "No private network namespace (it needs root): using the host's loopback." >&2
  "${whole[@]}"
fi

python3 bench/report.py "$out/message.json" "$out/whole.json" > "$out/results.md"
cat "$out/results.md"
