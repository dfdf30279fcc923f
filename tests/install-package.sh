#!/usr/bin/env bash
# Checks what `cmake --install` and the .deb put where, installs the package, and starts the
# installed program under Xvfb on a pseudo-terminal (tst_installed). Installing needs root; as
# anyone else the check is skipped. A package the check installed is removed again afterwards.
#   install-package.sh BUILD_DIR TST_INSTALLED
set -euo pipefail
build=$1
tst_installed=$2

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }

[ "$(id -u)" -eq 0 ] || skip "installing the package needs root"
for tool in cpack dpkg-deb apt-get xvfb-run unshare xdotool; do
    command -v "$tool" >/dev/null || skip "needs $tool"
done

work=$(mktemp -d)
was_installed=$(dpkg-query -W -f='${Status}' relaypanel 2>/dev/null | grep -c 'install ok installed' || true)
cleanup() {
    if [ "$was_installed" = 0 ] && dpkg-query -W relaypanel >/dev/null 2>&1; then
        DEBIAN_FRONTEND=noninteractive apt-get purge -y -q relaypanel >/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

files=(bin/relaypanel bin/relayctl bin/relay-mqtt share/applications/relaypanel.desktop
       share/icons/hicolor/32x32/apps/relaypanel.png
       share/doc/relaypanel/copyright share/doc/relaypanel/changelog.gz
       share/metainfo/io.github.relaypanel.relaypanel.metainfo.xml)
# relay-mqtt's services and config file: inside the prefix for cmake --install, and in /lib and
# /etc, outside /usr, in the package.
system_files=(lib/systemd/system/relay-mqtt.service lib/systemd/system/relay-mqtt@.service
              etc/relay-mqtt.conf)

echo "cmake --install into a staging folder"
cmake --install "$build" --prefix "$work/stage" >/dev/null
for file in "${files[@]}" "${system_files[@]}"; do
    [ -f "$work/stage/$file" ] || fail "cmake --install did not install $file"
done
[ -x "$work/stage/bin/relaypanel" ] || fail "the installed relaypanel is not executable"
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$work/stage/share/applications/relaypanel.desktop" || fail "bad .desktop entry"
fi

echo "the .deb"
(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null)
deb=$(ls "$work"/package/relaypanel_*.deb)
contents=$(dpkg-deb -c "$deb")
for file in "${files[@]}"; do
    grep -q "\./usr/$file\$" <<<"$contents" || fail "the package lacks /usr/$file"
done
for file in "${system_files[@]}"; do
    grep -q "\./$file\$" <<<"$contents" || fail "the package lacks /$file"
done
conffiles=$(dpkg-deb -I "$deb" conffiles)
[ "$conffiles" = /etc/relay-mqtt.conf ] || fail "the package's conffiles are '$conffiles'"
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libqt6widgets6 libqt6serialport6 qt6-qpa-plugins; do
    grep -q "$needed" <<<"$depends" || fail "the package does not depend on $needed: $depends"
done

echo "installing $(basename "$deb")"
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb" >/dev/null || fail "the package did not install"
[ -x /usr/bin/relaypanel ] || fail "no /usr/bin/relaypanel after installing"
# Installed, not enabled: the bridge runs once it is configured and the user enables it.
if command -v systemctl >/dev/null; then
    state=$(systemctl is-enabled relay-mqtt.service 2>/dev/null || true)
    [ "$state" = disabled ] || [ -z "$state" ] || fail "relay-mqtt.service is $state after installing"
fi

echo "the installed panel, under Xvfb"
status=0
RELAYPANEL_PROGRAM=/usr/bin/relaypanel \
    xvfb-run -a -s "-screen 0 1024x768x24" "$tst_installed" || status=$?
# tst_installed exits 77 when it never got to click the panel (no serial device node to stand in
# for, say): the package was checked, the program was not.
[ "$status" -ne 77 ] || skip "tst_installed skipped the installed panel"
exit "$status"
