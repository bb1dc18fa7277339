#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Fuzzes the data viewer's file reader with libFuzzer for a fixed time (seconds, default 60):
#   bash scripts/fuzz.sh [SECONDS]
# Builds the fuzz target alone with clang (build-fuzz/), starts from the seed corpus in
# tests/viewer/fuzz-corpus (copied, so that the committed corpus stays small) and keeps any
# crashing input in build-fuzz/findings/.
source "$(dirname "$0")/common.sh"
seconds=${1:-60}
install_missing_packages "${XRQ_CLANG_PACKAGES[@]}"
build=$XRQ_ROOT/build-fuzz
say "Building the fuzz target"
cmake -S "$XRQ_ROOT" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DXRQ_FUZZ=ON >/dev/null
cmake --build "$build" --target fuzz-data-file
rm -rf "$build/corpus" && mkdir -p "$build/corpus" "$build/findings"
cp "$XRQ_ROOT"/tests/viewer/fuzz-corpus/* "$build/corpus/"
say "Fuzzing the file reader for $seconds s"
"$build/bin/fuzz-data-file" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 \
    -timeout=10 -print_final_stats=1 -artifact_prefix="$build/findings/" "$build/corpus"
