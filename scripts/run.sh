#!/usr/bin/env bash
# Builds the program and starts it.
source "$(dirname "$0")/common.sh"
install_missing_packages
build_tree "$XRQ_ROOT/build"
say "Starting $XRQ_ROOT/build/bin/xrq"
exec "$XRQ_ROOT/build/bin/xrq"
