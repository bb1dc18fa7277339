#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the program, its tools and the tests into build/bin/ (installing missing packages
# first).
source "$(dirname "$0")/common.sh"
install_missing_packages
build_tree normal
say "Built: $XRQ_ROOT/build/bin/xrq"
