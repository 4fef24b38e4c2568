#!/usr/bin/env bash
# Builds the libFuzzer targets in build-fuzz/ (clang) and runs each for SECONDS (default 60),
# one after the other, from the generated seeds and what earlier runs kept in
# build-fuzz/corpus/. Fails on the first crash, hang, leak or failed check; the input that
# did it is left as build-fuzz/crash-* (or timeout-*, leak-*).
#   fuzz/run.sh          the CI run
#   fuzz/run.sh 600      ten minutes per target
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
tools/deps
# The image drive's read-ahead window is shrunk to 64 bytes here: the fuzzer's images are small,
# and only so do its records cross the window's edges.
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_FUZZ=ON \
  -DKV_BUILD_GUI=OFF -DKV_BUILD_TESTS=OFF -DCMAKE_CXX_FLAGS=-DKV_IMAGE_WINDOW=64 >/dev/null
nice cmake --build build-fuzz -j2 --target fuzz_selection fuzz_image_drive fuzz_image_e11 fuzz_image_aws \
  fuzz_image_het fuzz_image_tpc
rm -rf build-fuzz/seeds
fuzz/make-seeds.sh build-fuzz/seeds
for target in selection image_drive image_e11 image_aws image_het image_tpc; do
  mkdir -p "build-fuzz/corpus/$target"
  echo "=== fuzz_$target: ${seconds}s ==="
  nice "build-fuzz/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix=build-fuzz/ "build-fuzz/corpus/$target" "build-fuzz/seeds/$target"
done
