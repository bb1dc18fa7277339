#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Fuzzes the data viewer's file reader with libFuzzer for a fixed time (seconds, default 60),
# then the office's query parsers (query string, $filter, web service paths) and the server
# readers' checks of what facts hold (times, counts, payload values) for a quarter of it each
# (at least 5 s, or QUERY_SECONDS):
#   bash scripts/fuzz.sh [SECONDS [QUERY_SECONDS]]
# Builds the fuzz targets alone with clang (build-fuzz/), starts from the seed corpora in
# tests/viewer/fuzz-corpus and tests/office/fuzz-corpus (copied, so that the committed corpora
# stay small) and keeps any crashing input in build-fuzz/findings/.
source "$(dirname "$0")/common.sh"
seconds=${1:-60}
query_seconds=${2:-$((seconds / 4 > 5 ? seconds / 4 : 5))}
install_missing_packages "${XRQ_CLANG_PACKAGES[@]}"
build=$XRQ_ROOT/build-fuzz
say "Building the fuzz targets"
cmake -S "$XRQ_ROOT" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DXRQ_FUZZ=ON >/dev/null
cmake --build "$build" --target fuzz-data-file fuzz-office-query fuzz-server-payloads
rm -rf "$build/corpus" "$build/query-corpus" "$build/payload-corpus"
mkdir -p "$build/corpus" "$build/query-corpus" "$build/payload-corpus" "$build/findings"
cp "$XRQ_ROOT"/tests/viewer/fuzz-corpus/* "$build/corpus/"
cp "$XRQ_ROOT"/tests/office/fuzz-corpus/* "$build/query-corpus/"
cp "$XRQ_ROOT"/tests/fleet/fuzz-corpus/* "$build/payload-corpus/"
say "Fuzzing the file reader for $seconds s"
"$build/bin/fuzz-data-file" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 \
    -timeout=10 -print_final_stats=1 -artifact_prefix="$build/findings/" "$build/corpus"
say "Fuzzing the office's query parsers for $query_seconds s"
"$build/bin/fuzz-office-query" -max_total_time="$query_seconds" -max_len=8192 -rss_limit_mb=2048 \
    -timeout=10 -print_final_stats=1 -artifact_prefix="$build/findings/" "$build/query-corpus"
say "Fuzzing the server readers' checks of payloads for $query_seconds s"
"$build/bin/fuzz-server-payloads" -max_total_time="$query_seconds" -max_len=4096 \
    -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 -artifact_prefix="$build/findings/" \
    "$build/payload-corpus"
