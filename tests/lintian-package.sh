#!/usr/bin/env bash
# Builds the .deb with cpack and runs lintian on it: any error or warning fails the check, tags
# for information only may stay. Like installed_package it runs as root only, and is skipped
# otherwise or without lintian.
#   lintian-package.sh BUILD_DIR
set -euo pipefail
build=$1

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }

[ "$(id -u)" -eq 0 ] || skip "the package's checks run as root"
for tool in cpack dpkg-deb lintian; do
    command -v "$tool" >/dev/null || skip "needs $tool"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work" >/dev/null)
deb=$(ls "$work"/relaypanel_*.deb)

# lintian does not compare the two: a version bumped in CMakeLists.txt alone would still pass.
version=$(dpkg-deb -f "$deb" Version)
dpkg-deb -x "$deb" "$work/root"
changelog="$work/root/usr/share/doc/relaypanel/changelog.gz"
[ -f "$changelog" ] || fail "the package has no usr/share/doc/relaypanel/changelog.gz"
latest=$(zcat "$changelog" | sed -n '1s/^relaypanel (\([^)]*\)).*/\1/p')
[ "$latest" = "$version" ] ||
    fail "the changelog's latest entry is '$latest', the package's version $version"

echo "lintian $(basename "$deb")"
status=0
report=$(lintian --display-info --tag-display-limit 0 --fail-on error,warning "$deb" 2>&1) ||
    status=$?
[ -z "$report" ] || echo "$report"
if grep -qE '^[EW]: ' <<<"$report"; then
    fail "lintian reports errors or warnings"
fi
[ "$status" -eq 0 ] || fail "lintian exited with $status"
echo "lintian: no errors, no warnings"
