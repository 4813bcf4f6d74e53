#!/bin/bash
# The install test's steps inside the booted container, as root. /kbtest holds the packages
# (debs/: keelbrook and keelbrook-app of two versions), this script, and results/ where the
# outcome goes. Each step prints its name; the first failure ends the run with its reason.
set -uo pipefail

export DEBIAN_FRONTEND=noninteractive
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
debs=/kbtest/debs
service=com.vornhal.keelbrook.scheduler.service
socket=com.vornhal.keelbrook.scheduler.socket
authority=com.vornhal.keelbrook.authority.socket
start=$SECONDS

step() { printf '\n== %s (at %d s)\n' "$*" $((SECONDS - start)); }
fail() {
    echo "FAILED: $*"
    journalctl -b --no-pager -n 60 -u "$service" -u "$socket" -u "$authority" -u keelbrook-backupd.service || true
    exit 1
}
# Runs a command, shows its output, fails the test when it does not exit 0.
must() {
    echo "\$ $*"
    "$@" || fail "'$*' exited $?"
}
active() { [ "$(systemctl is-active "$1")" = active ]; }
# Waits up to $1 seconds for a command to succeed.
within() {
    local limit=$1
    shift
    local until=$((SECONDS + limit))
    while ! "$@"; do
        [ $SECONDS -lt $until ] || return 1
        sleep 1
    done
}
version_of() { dpkg-query -W -f='${Version}' "$1"; }

# The application's run: its runner (runuser) and, once found, the application's pid.
app_runner=
app=
app_ended() { ! kill -0 "$app_runner" 2>/dev/null; }
# The tree has no procps: the application is found in /proc by its name and owner.
app_started() {
    local folder
    for folder in /proc/[0-9]*; do
        if [ "$(cat "$folder/comm" 2>/dev/null)" = keelbrook ] && [ "$(stat -c %U "$folder" 2>/dev/null)" = alice ]; then
            app=${folder#/proc/}
            return 0
        fi
    done
    app_ended
}
app_connected() {
    journalctl -b -u "$service" --no-pager -o cat | grep -q "connection from pid $app\." || app_ended
}
# The notification an update sends; only root may post it.
app_asked_to_quit() {
    dbus-send --system --type=signal /com/vornhal/keelbrook \
        com.vornhal.keelbrook.Notifications.Posted string:com.vornhal.keelbrook.did-update
    app_ended
}

# Runs the installed application as alice on a private X server. Once the daemon's journal
# shows the application's connection, the update's notification is posted until the
# application quits its event loop with status 0. Reading no settings from the daemon would
# end it with 1 after an alert, a crash with a signal, a hang with the timeout's 124.
run_application() {
    local output=/kbtest/results/application-$1.log
    echo "\$ runuser -u alice -- xvfb-run -a timeout 60 keelbrook"
    runuser -u alice -- xvfb-run -a timeout 60 keelbrook >"$output" 2>&1 &
    app_runner=$!
    app=
    within 20 app_started || fail "the application did not start within 20 s: $(tail -5 "$output")"
    [ -n "$app" ] || fail "the application ended at once: $(tail -5 "$output")"
    within 20 app_connected || fail "the application (pid $app) did not connect to the daemon in 20 s"
    app_ended && fail "the application ended before it was asked to quit: $(tail -5 "$output")"
    echo "the application (pid $app) is connected to the daemon"
    within 20 app_asked_to_quit || fail "the application did not quit on the update's notification"
    local status=0
    wait "$app_runner" || status=$?
    cat "$output"
    [ $status -eq 0 ] || fail "the application exited with status $status"
    echo "the application quit on the update's notification"
}

step "the system is up"
state=$(systemctl is-system-running)
echo "system: $state"
systemctl --failed --no-legend --no-pager

step "install both packages"
release=$(ls "$debs"/keelbrook_*.deb | sort -V | head -1)
release_version=$(basename "$release" | cut -d_ -f2)
must sudo apt install -y "$release" "$debs/keelbrook-app_${release_version}_$(dpkg --print-architecture).deb"
for package in keelbrook keelbrook-app; do
    [ "$(version_of $package)" = "$release_version" ] ||
        fail "$package is not installed at $release_version: $(dpkg-query -W $package 2>&1)"
    dpkg -L $package | sort >/kbtest/results/files.$package
done
dpkg-query -W keelbrook keelbrook-app

step "every unit passes systemd-analyze verify"
for unit in $(dpkg -L keelbrook | grep -E '/systemd/system/[^/]+\.(service|socket|timer)$'); do
    # No manual reader in the tree: the units' Documentation= pages are not looked up.
    must systemd-analyze verify --man=no "$unit"
done

step "the socket listens, the daemon waits for a client"
for unit in "$socket" "$authority"; do
    active "$unit" || fail "$unit is $(systemctl is-active "$unit") after installation"
done
active "$service" && fail "the daemon was started by the installation, not by its socket"
[ "$(systemctl is-enabled "$service")" = enabled ] || fail "$service is not enabled"
[ "$(systemctl is-enabled keelbrook-engine.timer)" = disabled ] ||
    fail "the engine's own timer is $(systemctl is-enabled keelbrook-engine.timer)"

step "the first client starts the daemon through the socket"
useradd --create-home alice
must runuser -u alice -- kbectl status
active "$service" || fail "kbectl status did not start the daemon"
left=$SECONDS

step "with nothing scheduled the daemon exits 30 s after its last client"
within 60 bash -c "! systemctl -q is-active $service" || fail "the daemon is still running after 60 s"
idle=$((SECONDS - left))
echo "exited after $idle s"
[ $idle -ge 28 ] || fail "the daemon exited after $idle s, before its idle time"
[ "$(systemctl show -P Result "$service")" = success ] || fail "the daemon's idle exit is not a success"

step "the application comes up as alice, its connection starts the daemon"
run_application release

step "a destination, backups enabled, a real backup"
mkdir -p /srv/backup /home/alice/Documents
echo "the letter of $(date)" >/home/alice/Documents/letter.txt
chown -R alice: /home/alice/Documents
must sudo tmutil setdestination /srv/backup
must tmutil destinationinfo
must sudo kbectl enable backups
must runuser -u alice -- kbectl backups kickstart
within 180 bash -c 'tmutil latestbackup >/dev/null 2>&1' || fail "no backup after 180 s"
must tmutil latestbackup
must runuser -u alice -- kbectl info

step "the daemon stays resident while backups are scheduled"
sleep 40
active "$service" || fail "the daemon exited although backups are scheduled"

step "restore the file as the README says"
rm -rf /tmp/restore
must sudo restic -r /srv/backup --password-file /var/lib/keelbrook-engine/repository-password \
    restore latest --target /tmp/restore --include /home/alice/Documents
cmp /home/alice/Documents/letter.txt /tmp/restore/home/alice/Documents/letter.txt ||
    fail "the restored file differs from the original"

step "kbectl log shows the daemon's journal lines"
must sudo kbectl log >/tmp/log.txt
tail -5 /tmp/log.txt
grep -q "Starting backup now" /tmp/log.txt || fail "kbectl log has no line of the backup's start"

step "updates check -i installs the signed newer package in its own unit"
newer=$(ls "$debs"/keelbrook_*.deb | sort -V | tail -1)
newer_version=$(basename "$newer" | cut -d_ -f2)
[ "$newer" != "$release" ] || fail "there is no newer package"
update_host=$(cat /kbtest/update-host)
echo "127.0.0.1 $update_host" >>/etc/hosts
cp /kbtest/pki/https-ca.crt /usr/share/ca-certificates/mozilla/keelbrook-test-ca.crt
python3 /kbtest/https-server.py /kbtest/www /kbtest/pki/https.crt /kbtest/pki/https.key \
    >/kbtest/results/https.log 2>&1 &
must sudo kbectl enable updates
# "UServer" names the test's server; the daemon reads its defaults when it starts.
must systemctl stop "$service"
python3 - "$update_host" <<'PY' || fail "cannot set UServer"
import pathlib, plistlib, sys
path = pathlib.Path("/var/lib/keelbrook/preferences/com.vornhal.keelbrook.scheduler.plist")
values = plistlib.loads(path.read_bytes()) if path.exists() else {}
values["UServer"] = sys.argv[1]
path.write_bytes(plistlib.dumps(values, fmt=plistlib.FMT_BINARY))
PY
echo "\$ echo y | sudo kbectl updates check -i"
echo y | sudo kbectl updates check -i || fail "kbectl updates check -i exited $?"
within 240 bash -c "[ \"\$(dpkg-query -W -f='\${Version}' keelbrook)\" = $newer_version ]" ||
    fail "the update to $newer_version was not installed: $(dpkg-query -W keelbrook)"
# kbectl _update logs its outcome once the installer has ended.
within 60 bash -c 'journalctl -b --no-pager | grep -q -e "Keelbrook has been updated." -e "Update failed"'
journalctl -b --no-pager | grep -E "_update|Keelbrook has been updated|Update failed" | tail -5
journalctl -b --no-pager | grep -q "Keelbrook has been updated." ||
    fail "kbectl _update did not report the update"
[ "$(version_of keelbrook-app)" = "$newer_version" ] ||
    fail "the update left the application at $(dpkg-query -W keelbrook-app 2>&1)"
dpkg-query -W keelbrook keelbrook-app
within 30 active "$socket" || fail "the socket is not listening after the update"
[ "$(runuser -u alice -- kbectl version | cut -d' ' -f1)" = "$newer_version" ] ||
    fail "kbectl does not report the newer version"
[ "$(runuser -u alice -- kbectl backups enabled)" = yes ] || fail "the update lost the settings"
[ "$(runuser -u alice -- kbectl updates enabled)" = yes ] || fail "the update lost the preferences"

step "the updated application comes up"
run_application newer

step "installing the package turns the \".updating\" marker into \".updated\""
# The daemon stays while backups are scheduled: it must start afresh to see the marker.
must systemctl stop "$socket" "$authority" "$service"
printf 1 >/var/lib/keelbrook/.updating
# Nothing may start while the marker is looked at: the daemon would take it at once.
printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
chmod +x /usr/sbin/policy-rc.d
must sudo apt install -y --reinstall "$newer"
[ -e /var/lib/keelbrook/.updating ] && fail "the installation left the \".updating\" marker"
[ -e /var/lib/keelbrook/.updated ] || fail "the installation made no \".updated\" marker"
rm /usr/sbin/policy-rc.d
must systemctl start "$socket" "$authority"
must runuser -u alice -- kbectl status
within 10 bash -c '! [ -e /var/lib/keelbrook/.updated ]' ||
    fail "the restarted daemon did not remove the \".updated\" marker"

step "kbectl uninstall removes both packages and leaves only the engine's state"
must sudo kbectl uninstall
for package in keelbrook keelbrook-app; do
    dpkg -s $package >/dev/null 2>&1 && fail "$package is still known to dpkg: $(dpkg-query -W $package)"
done
left_over=()
while read -r path; do
    # Folders the package shares with others (/usr/bin, ...) stay.
    if [ -e "$path" ] && ! [ -d "$path" ]; then
        left_over+=("$path")
    fi
done < <(cat /kbtest/results/files.keelbrook /kbtest/results/files.keelbrook-app)
for path in /var/lib/keelbrook /var/log/keelbrook /run/keelbrook /var/cache/keelbrook-backupd \
    /usr/libexec/keelbrook /usr/share/keelbrook /etc/systemd/system/sockets.target.wants/$socket \
    /etc/systemd/system/sockets.target.wants/$authority; do
    [ -e "$path" ] && left_over+=("$path")
done
[ ${#left_over[@]} -eq 0 ] || fail "left after uninstalling: ${left_over[*]}"
[ -s /var/lib/keelbrook-engine/repository-password ] || fail "the repository password was removed"
systemctl list-unit-files 'com.vornhal.keelbrook.*' 'keelbrook-*' --no-legend | grep . &&
    fail "units are still known to systemd"

printf '\nall steps passed in %d s\n' $((SECONDS - start))
