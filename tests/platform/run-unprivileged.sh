#!/bin/sh
# Runs one test of a test program as an unprivileged user, for tests that root would pass
# by skipping (root reads every file). As a plain user it simply runs the test. The program
# is copied to a folder the user can reach, since the build tree may sit under a private home.
# Usage: run-unprivileged.sh PROGRAM GTEST_FILTER
set -eu
program=$1
filter=$2
if [ "$(id -u)" -ne 0 ]; then
    exec "$program" --gtest_filter="$filter"
fi
if ! command -v setpriv >/dev/null || ! id nobody >/dev/null 2>&1; then
    echo "no unprivileged user to run as" >&2
    exit 1
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$program" "$dir/"
chmod 755 "$dir" "$dir/$(basename "$program")"
cd "$dir"
KV_EXPECT_UNPRIVILEGED=1 TMPDIR=/tmp setpriv --reuid=nobody --regid=nogroup --clear-groups \
    "$dir/$(basename "$program")" --gtest_filter="$filter"
