#!/bin/sh
# The accounts the session tests log on with: zavtest1 to zavtest20, password
# Pw-<name>-9x. Needs root; without it there is nothing to do (the tests skip).
set -e
[ "$(id -u)" -eq 0 ] || exit 0
[ "$1" = create ] || exit 2
for i in $(seq 1 20); do
    name="zavtest$i"
    id "$name" >/dev/null 2>&1 || useradd -m -s /bin/bash "$name"
    echo "$name:Pw-$name-9x" | chpasswd
done
# The PAM service the sessions log on through.
if [ ! -f /etc/pam.d/brisel ]; then
    cp "$(dirname "$0")/../config/pam.d/brisel" /etc/pam.d/brisel
fi
