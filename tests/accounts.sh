#!/bin/sh
# The accounts the session tests log on with: zavtest1 to zavtest10, password
# Pw-<name>-9x. Needs root; without it there is nothing to do (the tests skip).
set -e
[ "$(id -u)" -eq 0 ] || exit 0
[ "$1" = create ] || exit 2
for i in 1 2 3 4 5 6 7 8 9 10; do
    name="zavtest$i"
    id "$name" >/dev/null 2>&1 || useradd -m -s /bin/bash "$name"
    echo "$name:Pw-$name-9x" | chpasswd
done
# The PAM service the sessions log on through.
if [ ! -f /etc/pam.d/brisel ]; then
    cp "$(dirname "$0")/../config/pam.d/brisel" /etc/pam.d/brisel
fi
