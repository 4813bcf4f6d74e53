#!/bin/sh
# Uninstalls Keelbrook: purges its packages as `dpkg --purge keelbrook` does (the units are
# stopped and disabled, the settings, preferences, logs and rights database removed). The
# backup engine's state in /var/lib/keelbrook-engine stays: it holds the password without
# which the backups cannot be read. kbectl runs this script as root with /bin/sh, from a
# shell or, for the daemon, in a unit of its own that outlives the daemon's.
set -u

engine_state=/var/lib/keelbrook-engine

if [ "$(id -u)" -ne 0 ]; then
    echo "uninstall.sh: must be run as root" >&2
    exit 1
fi

# The repository is read now: tmutil goes with the package.
repository=
if [ -x /usr/bin/tmutil ]; then
    repository=$(/usr/bin/tmutil destinationinfo 2>/dev/null | sed -n 's/^URL *: //p')
fi

packages=keelbrook
if dpkg-query -W -f='${Status}' keelbrook-app 2>/dev/null | grep -q ' installed$'; then
    packages="keelbrook-app keelbrook"
fi

# shellcheck disable=SC2086 # one word per package
if ! DEBIAN_FRONTEND=noninteractive dpkg --purge $packages; then
    echo "uninstall.sh: dpkg --purge $packages failed" >&2
    exit 1
fi

echo "Keelbrook is removed. The backups and their password are kept in $engine_state."
if [ -n "$repository" ]; then
    echo "To restore files from them (install restic first if it is gone):"
    echo "  sudo restic -r $repository --password-file $engine_state/repository-password snapshots"
    echo "  sudo restic -r $repository --password-file $engine_state/repository-password restore latest --target /tmp/restore"
fi
exit 0
