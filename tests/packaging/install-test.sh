#!/bin/bash
# The package's install test under a real systemd: builds the .deb with scripts/package,
# boots a Debian 12 tree (debootstrap, cached under WORK) with systemd-nspawn, and runs
# inside.sh in it from a oneshot unit that powers the container off; the outcome is read
# from the bind-mounted results folder afterwards.
#
#   install-test.sh WORK KBEPKG
#
# KBEPKG is the built tools/kbepkg, which signs the newer package for the update server.
#
# Needs root, debootstrap and systemd-nspawn. Where the container cannot be made or booted
# the test fails with the reason; only outside CI, without root, is it skipped (exit 77).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
work=${1:?usage: install-test.sh WORK KBEPKG}
kbepkg=${2:?usage: install-test.sh WORK KBEPKG}
update_host=updates.keelbrook-test.example
mkdir -p "$work"
work=$(realpath "$work")
start=$SECONDS

fail() {
    echo "install test: FAILED: $*"
    exit 1
}
say() { printf 'install test: %s (at %d s)\n' "$*" $((SECONDS - start)); }

if [ "$(id -u)" -ne 0 ]; then
    [ -n "${CI:-}" ] && fail "must run as root to boot a container (uid $(id -u))"
    echo "install test: skipped: not root"
    exit 77
fi
[ -x "$kbepkg" ] || fail "$kbepkg is not built"
for tool in debootstrap systemd-nspawn dpkg-buildpackage lintian openssl; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup installs it)"
done

# The machine's own Debian mirror.
mirror=$( (grep -rhoE 'https?://[^ ]+/debian/?( |$)' /etc/apt/sources.list /etc/apt/sources.list.d/ 2>/dev/null || true) |
    head -1 | tr -d ' ')
mirror=${mirror:-http://deb.debian.org/debian}

# The Debian tree, made once: minbase with systemd and dbus, what both packages depend on
# (the application's Qt 6 widgets and its xcb platform plugin, pkexec) so that installing
# them needs no network, an X server for the application and a session for alice; plus the
# unit that runs the test and powers off. The marker holds the package list: a tree made
# from another list is made again.
packages=systemd,systemd-sysv,dbus,sudo,ca-certificates,restic,btrfs-progs,libbtrfsutil1,libcurl4,libicu72,libxml2,libssl3,openssl,libpam-modules,zlib1g,python3
packages+=,libqt6widgets6,libqt6gui6,libqt6dbus6,pkexec,xvfb,xauth,libpam-systemd
tree=$work/tree
if [ "$(cat "$tree/.kbtest-ready" 2>/dev/null)" != "$packages" ]; then
    say "debootstrap bookworm from $mirror"
    rm -rf "$tree" "$tree.new"
    debootstrap --variant=minbase --include="$packages" \
        bookworm "$tree.new" "$mirror" >"$work/debootstrap.log" 2>&1 ||
        fail "debootstrap failed: $(tail -3 "$work/debootstrap.log")"
    cat >"$tree.new/etc/systemd/system/kbtest.service" <<'UNIT'
[Unit]
Description=Keelbrook install test
After=multi-user.target

[Service]
Type=oneshot
ExecStart=/bin/bash -c '/kbtest/inside.sh >/kbtest/results/log 2>&1; echo $? >/kbtest/results/rc'
ExecStopPost=/bin/systemctl --no-block poweroff
TimeoutStartSec=15min

[Install]
WantedBy=multi-user.target
UNIT
    ln -s /etc/systemd/system/kbtest.service \
        "$tree.new/etc/systemd/system/multi-user.target.wants/kbtest.service"
    echo keelbrook-test >"$tree.new/etc/hostname"
    echo "127.0.1.1 keelbrook-test" >>"$tree.new/etc/hosts"
    echo "$packages" >"$tree.new/.kbtest-ready"
    mv "$tree.new" "$tree"
    say "tree made"
fi

# The update packages' hierarchy (its root pinned in both packages) and the HTTPS server's.
rm -rf "$work/pki"
"$here/make-pki.sh" "$work/pki" "$update_host" >"$work/pki.log" 2>&1 ||
    fail "cannot make the test certificates: $(tail -5 "$work/pki.log")"

# The release and a newer one (the next patch version), to update to.
release=$(sed -n 's/^set(KEELBROOK_VERSION \([0-9.]*\) CACHE.*/\1/p' "$top/CMakeLists.txt")
newer=${release%.*}.$((${release##*.} + 1))
debs=$work/debs
rm -rf "$debs" "$work/package"
mkdir -p "$debs"
for version in "$release" "$newer"; do
    say "build the package $version"
    # No debug-symbol packages: the test installs neither.
    DEB_BUILD_OPTIONS=noautodbgsym "$top/scripts/package" --out "$work/package" --version "$version" \
        --anchor "$work/pki/root.pem" >"$work/package-$version.log" 2>&1 ||
        fail "scripts/package failed: $(tail -20 "$work/package-$version.log")"
done
cp "$work"/package/keelbrook_*.deb "$work"/package/keelbrook-app_*.deb "$debs/"
say "built $(cd "$debs" && echo *)"

# Each run boots a fresh copy of the tree.
run=$work/run
rm -rf "$run"
mkdir -p "$run/results"
cp "$here/inside.sh" "$run/"
cp -r "$debs" "$run/debs"
cp "$here/https-server.py" "$run/"
echo "$update_host" >"$run/update-host"
mkdir -p "$run/pki" "$run/www/keelbrook"
cp "$work"/pki/https.crt "$work"/pki/https.key "$work"/pki/https-ca.crt "$run/pki/"
# The update server's feed names the newer release, signed as the maker's release step does.
# Both payloads: the installer updates the application too where it is installed.
package=keelbrook-$newer.pkg
arch=$(dpkg --print-architecture)
"$kbepkg" create -o "$run/www/keelbrook/$package" --payload "$debs/keelbrook_${newer}_$arch.deb" \
    --payload-app "$debs/keelbrook-app_${newer}_$arch.deb" \
    --key "$work/pki/leaf.key" --cert "$work/pki/leaf.pem" --chain "$work/pki/chain.pem" ||
    fail "kbepkg could not sign the newer package"
IFS=. read -r major minor patch <<<"$newer"
cat >"$run/www/keelbrook/updates2.plist" <<FEED
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
    <key>Items</key>
    <array>
        <dict>
            <key>Version</key>
            <integer>$((major * 10000 + minor * 100 + patch))</integer>
            <key>HumanVersion</key>
            <string>$newer</string>
            <key>URL</key>
            <string>https://$update_host/keelbrook/$package</string>
        </dict>
    </array>
</dict>
</plist>
FEED
say "boot the container"
booted=0
timeout 15m systemd-nspawn --boot --register=no --keep-unit --ephemeral -D "$tree" \
    --bind="$run:/kbtest" >"$work/console.log" 2>&1 || booted=$?
cat "$run/results/log" 2>/dev/null || true
if ! [ -s "$run/results/rc" ]; then
    tail -30 "$work/console.log"
    fail "the test did not run in the container (systemd-nspawn exited $booted): see $work/console.log"
fi
rc=$(cat "$run/results/rc")
[ "$rc" = 0 ] || fail "the steps in the container failed (status $rc)"
say "passed"
