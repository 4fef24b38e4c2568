#!/bin/sh
# Renders the main window and both dialogs offscreen into PNG files.
# Usage: tools/screenshots/screenshots.sh [BUILD_DIR] [OUT_DIR]
set -e
here=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$here/build}
out=${2:-$here/out/screenshots}
program=$build/tools/screenshots/kellovaran-screenshots
if [ ! -x "$program" ]; then
    cmake --build "$build" --target kellovaran-screenshots
fi
QT_QPA_PLATFORM=offscreen exec "$program" "$out"
