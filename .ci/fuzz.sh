#!/usr/bin/env bash
# CI: build every libFuzzer target (fuzz/fuzz_*.cpp) with clang and run each
# briefly on its seed corpus: about a minute in total (FUZZ_SECONDS changes
# it). The seeds are made by fuzz/make_seeds.py from the test archives, the
# bundled example and the kept regression inputs; a target stops at its first
# failure, which fails this script and leaves the input in the work directory
# named in the output (FUZZ_WORK, else a fresh one under /tmp).
set -euo pipefail
cd "$(dirname "$0")/.."

total=${FUZZ_SECONDS:-60}
build=${FUZZ_BUILD_DIR:-build-fuzz}
work=${FUZZ_WORK:-$(mktemp -d /tmp/arcsalve-fuzz.XXXXXX)}
mkdir -p "$work"

need=()
for pkg in clang libclang-rt-dev cmake zlib1g-dev python3; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}"
fi

targets=()
for source in fuzz/fuzz_*.cpp; do targets+=("$(basename "$source" .cpp)"); done
each=$((total / ${#targets[@]}))
[ "$each" -ge 5 ] || each=5

echo "== build ${targets[*]} with clang into $build"
CC=clang CXX=clang++ cmake -S . -B "$build" -DARCSALVE_FUZZ=ON -DARCSALVE_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

python3 fuzz/make_seeds.py "$work/seeds"
export TMPDIR="$work"  # the targets' scratch directories
status=0
for target in "${targets[@]}"; do
  corpus="$work/corpus-$target"
  mkdir -p "$corpus" "$work/seeds/$target"
  echo "== $target: ${each}s"
  # -timeout: one input may take at most 20 s (a hang is a failure).
  if ! "$build/fuzz/$target" -max_total_time="$each" -timeout=20 -rss_limit_mb=2048 \
      -max_len=65536 -dict=fuzz/zip.dict -artifact_prefix="$work/$target-" \
      -print_final_stats=1 "$corpus" "$work/seeds/$target" >"$work/$target.log" 2>&1; then
    tail -40 "$work/$target.log"
    echo "$target failed: input and log kept in $work" >&2
    status=1
  else
    grep -E '^stat::number_of_executed_units|^Done' "$work/$target.log" || true
  fi
done
[ "$status" -ne 0 ] || [ -n "${FUZZ_WORK:-}" ] || rm -rf "$work"
exit "$status"
