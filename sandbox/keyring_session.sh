#!/bin/sh
# Runs "$@" inside a private D-Bus session with an unlocked gnome-keyring (secrets only), as a
# desktop session offers it, headless. HOME should be a throw-away directory. The bus and the
# keyring talk on both streams; only the command's own output is passed on (fds 3 and 4).
set -eu
if [ "${1:-}" != "--inside" ]; then
    exec 3>&2 4>&1
    exec dbus-run-session -- "$0" --inside "$@" >/dev/null 2>&1
fi
shift
# The password unlocks (and first creates) the login keyring under $HOME.
eval "$(printf 'test-keyring-password' |
    gnome-keyring-daemon --unlock --components=secrets 3>&- 4>&- 2>/dev/null)"
export GNOME_KEYRING_CONTROL
exec "$@" 2>&3 >&4 3>&- 4>&-
