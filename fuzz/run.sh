#!/usr/bin/env bash
# Long fuzzing runs of every fuzz target, outside CI:
#   fuzz/run.sh [executions per target, default 10000000] [target ...]
# Corpora grow in fuzz/corpus/<target> (not committed); crashes land in
# fuzz/findings/. Any finding belongs in the unit tests as a regression vector.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-10000000}
shift || true
targets=("${@:-parse_request parse_destination tpkt kdc_proxy_message}")
flags='-O1 -g -fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all'
cmake -S . -B build-fuzz -DQUILLGATE_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++-14 \
  "-DCMAKE_CXX_FLAGS=$flags" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz --parallel 2 >/dev/null
mkdir -p fuzz/findings
for target in ${targets[@]}; do
  corpus=fuzz/corpus/$target
  mkdir -p "$corpus"
  echo "== $target: $runs executions"
  start=$(date +%s)
  ASAN_OPTIONS=detect_leaks=1 ./build-fuzz/fuzz_"$target" -runs="$runs" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix=fuzz/findings/"$target"- "$corpus" test/fuzz/corpus/"$target" 2>&1 |
    grep -E '^(Done|stat::)|DONE|ERROR|SUMMARY' || true
  echo "   corpus: $(ls "$corpus" | wc -l) inputs; $(($(date +%s) - start)) s"
done
