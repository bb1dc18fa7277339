#!/usr/bin/env bash
# Builds the program and its tools into build/bin/ (installing missing packages first).
source "$(dirname "$0")/common.sh"
install_missing_packages
build_tree "$XRQ_ROOT/build"
say "Built: $XRQ_ROOT/build/bin/xrq"
