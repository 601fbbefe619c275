#!/usr/bin/env bash
# Installs the build into a scratch root as a user's `cmake --install` would
# and checks what the desktop, the manual and the service manager read from
# it; then builds the Debian package from a Release build of its own (a
# sanitizer build would make a package that needs the sanitizer libraries),
# unpacks it into another scratch root and starts the programs it holds.
#   InstallTest.sh SOURCE_DIR BUILD_DIR PACKAGE_BUILD_DIR VERSION HEADLESS_PROGRAM BANNER PROGRAM...
# BANNER is "yes" when the build has the banner library.
# SENTREL_APP_ID names the menu entry and the metadata; set
# SENTREL_SKIP_PACKAGE=1 to leave out the package (it costs a build).
set -euo pipefail
src=$1 build=$2 package_build=$3 version=$4 headless=$5 banner=$6
shift 6
programs=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Every file the install must hold, relative to the prefix.
app_id=${SENTREL_APP_ID:?the id of the menu entry}
window=no  # a build with the window program (not -DSENTREL_GUI=OFF)
[[ " ${programs[*]} " == *" sentrel "* ]] && window=yes
expected=(share/systemd/user/sentrel.service share/icons/hicolor/scalable/apps/sentrel.svg
  share/icons/hicolor/scalable/apps/sentrel-down.svg)
[ "$window" = no ] || expected+=("share/applications/$app_id.desktop" "share/metainfo/$app_id.metainfo.xml")
for size in 16 32 48 128 256; do
  expected+=("share/icons/hicolor/${size}x$size/apps/sentrel.png" "share/icons/hicolor/${size}x$size/apps/sentrel-down.png")
done
for p in "${programs[@]}"; do expected+=("bin/$p" "share/man/man1/$p.1.gz"); done
expected+=(share/doc/sentrel/copyright share/doc/sentrel/changelog.gz)
[ "$banner" = no ] || expected+=(lib/sentrel/libadimage.so)

# check_programs ROOT: the installed programs start from ROOT/usr, find
# their banner library there, and the folder options put the settings and
# log where they say.
check_programs() {
    local bin=$1/usr/bin out status
    for p in "${programs[@]}"; do
        out=$("$bin/$p" --version) || fail "$p --version failed"
        [[ "$out" == "$p $version"* ]] || fail "$p --version printed '$out'"
    done
    if [ -f "$1/usr/lib/sentrel/libadimage.so" ]; then
        out=$("$bin/sentrel" --version)
        [[ "$out" == *"banner library: $bin/../lib/sentrel/libadimage.so"* ]] ||
            fail "sentrel --version does not find its banner library: '$out'"
    fi
    status=0
    XDG_CONFIG_HOME=$work/config "$bin/$headless" --user-folder --check http://127.0.0.1:9/ >/dev/null || status=$?
    [ "$status" -eq 1 ] && grep -q 'Error accessing host: http://127.0.0.1:9/' "$work/config/sentrel/status.log" ||
        fail "--user-folder: status $status, log not in \$XDG_CONFIG_HOME/sentrel"
    rm -rf "$work/config"
    status=0
    "$bin/$headless" -C "$work/missing" --check >/dev/null 2>&1 || status=$?
    [ "$status" -eq 2 ] || fail "-C with a missing folder: status $status, expected 2"
}

echo "== cmake --install into a scratch root"
root=$work/root
DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
for f in "${expected[@]}"; do [ -e "$root/usr/$f" ] || fail "not installed: $f"; done

if [ "$window" = yes ]; then
    entry=$root/usr/share/applications/$app_id.desktop
    desktop-file-validate "$entry" || fail "desktop-file-validate"
    grep -qx 'Exec=/usr/bin/sentrel --user-folder' "$entry" || fail "the menu entry does not start /usr/bin/sentrel --user-folder"
    appstreamcli validate-tree --no-net "$root" >"$work/appstream.txt" 2>&1 || { cat "$work/appstream.txt"; fail "appstreamcli"; }
fi

for page in "$root"/usr/share/man/man1/*.1.gz; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man -l ${page##*/}: $warnings"
done

unit=$root/usr/share/systemd/user/sentrel.service
grep -qx "ExecStart=/usr/bin/$headless --user-folder --headless" "$unit" || fail "the unit's ExecStart"
if command -v systemd-analyze >/dev/null; then
    # The unit names /usr/bin; verify a copy that names the scratch root.
    sed "s|^ExecStart=|ExecStart=$root|" "$unit" >"$work/sentrel.service"
    MANPATH=$root/usr/share/man systemd-analyze verify "$work/sentrel.service" || fail "systemd-analyze verify"
    # The service needs only the network, its folder and its log: its
    # exposure stays "OK", below 4.0 (the threshold counts tenths).
    systemd-analyze security --offline=true --threshold=39 "$work/sentrel.service" >"$work/security.txt" 2>&1 ||
        { cat "$work/security.txt"; fail "systemd-analyze security: the service is exposed 4.0 or more"; }
else
    echo "systemd-analyze is not installed: the unit is not verified"
fi
check_programs "$root"

# The changelog's latest entry is this version, in Debian's format; the
# copyright file is machine-readable and names the project's licence.
changelog=$(gzip -dc "$root/usr/share/doc/sentrel/changelog.gz" | head -1)
[[ "$changelog" == "sentrel ($version) "*"; urgency="* ]] || fail "the changelog starts '$changelog', not version $version"
head -1 "$root/usr/share/doc/sentrel/copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' &&
    grep -qx 'License: Expat' "$root/usr/share/doc/sentrel/copyright" || fail "the copyright file is not machine-readable Expat"
[ "$window" = no ] || grep -q '<project_license>MIT</project_license>' "$root/usr/share/metainfo/$app_id.metainfo.xml" ||
    fail "the AppStream metadata does not name the MIT licence"

if [ -n "${SENTREL_SKIP_PACKAGE:-}" ]; then
    echo "SENTREL_SKIP_PACKAGE is set: the Debian package is not built"
    exit 0
fi
echo "== the Debian package, from a Release build in $package_build"
start=$SECONDS
gui=ON
[ "$window" = yes ] || gui=OFF
deb=$("$src/scripts/package.sh" "$package_build" -DSENTREL_GUI=$gui | tail -1) || fail "scripts/package.sh"
echo "built $deb in $((SECONDS - start)) s"
dpkg-deb --contents "$deb" | awk '{print $NF}' >"$work/contents.txt"
for f in "${expected[@]}"; do grep -qx "./usr/$f" "$work/contents.txt" || fail "not in the package: $f"; done
depends=$(dpkg-deb -f "$deb" Depends)
[[ "$depends" == *libc6* && "$depends" == *libc-ares2* ]] || fail "Depends does not come from the linked libraries: '$depends'"
# libssl is loaded at the first TLS session, not linked: the package names it itself.
[[ "$depends" =~ (^|, )libssl3(t64)?\ \(\>=\ 3 ]] || fail "Depends lacks libssl, which https needs: '$depends'"
dpkg -x "$deb" "$work/deb"
check_programs "$work/deb"

echo "== lintian and hardening-check"
# Tags a clean package may still carry, each with its reason.
allowed_tags=(
    # An optimised build stores short strings as immediate moves; `strings`
    # then runs pieces together ("conne" + "connected" reads "connnected").
    spelling-error-in-binary
)
lintian --display-info --pedantic "$deb" >"$work/lintian.txt" 2>/dev/null || true
reported=$(grep -E '^[EWIPX]: ' "$work/lintian.txt" || true)
for tag in "${allowed_tags[@]}"; do reported=$(grep -v ": $tag " <<<"$reported" || true); done
[ -z "$reported" ] || { cat "$work/lintian.txt"; fail "lintian: $reported"; }
[ -z "$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -E 'postinst|postrm|triggers')" ] ||
    fail "the package has maintainer scripts or triggers; a private library needs no ldconfig"
binaries=("$work"/deb/usr/bin/*)
[ "$banner" = no ] || binaries+=("$work/deb/usr/lib/sentrel/libadimage.so")
# Debian 12's C start files carry no CET property, so no program linked
# there has one and hardening-check's control-flow test cannot pass; that
# the code was built with -fcf-protection shows in its branch targets.
hardening-check --nocfprotection "${binaries[@]}" >"$work/hardening.txt" ||
    { cat "$work/hardening.txt"; fail "hardening-check"; }
for f in "${binaries[@]}"; do
    # (grep -c reads to the end: grep -q would cut the pipe short.)
    objdump -d --no-show-raw-insn "$f" | grep -c endbr64 >/dev/null || fail "${f##*/} was built without -fcf-protection"
    file -b "$f" | grep -c ', stripped' >/dev/null || fail "${f##*/} is not stripped"
    [ "$(readelf -SW "$f" | grep -cE ' \.comment | \.note ')" = 0 ] || fail "${f##*/} keeps .comment or .note"
done
echo "ok"
