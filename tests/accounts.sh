#!/bin/sh
# The accounts the session tests log on with: zavtest1 to zavtest60.
#   accounts.sh create FILE   makes them, each with a fresh random password, written as
#                             "name password" lines to FILE (mode 0600)
#   accounts.sh remove FILE   ends their processes and removes them, their homes and FILE
# Needs root; without it there is nothing to do (the log-on tests skip). The test run
# removes them at its end, also after a failure (a cleanup test) or an interrupt (the
# test script's trap), so no account with a known password outlives it.
set -e
[ "$(id -u)" -eq 0 ] || exit 0
file=$2
[ -n "$file" ] || exit 2
case "$1" in
create)
    umask 077
    : >"$file"
    for i in $(seq 1 60); do
        name="zavtest$i"
        id "$name" >/dev/null 2>&1 || useradd -m -s /bin/bash "$name"
        password="Zt-$(head -c 18 /dev/urandom | base64 | tr -d '/+=')"
        echo "$name:$password" | chpasswd
        echo "$name $password" >>"$file"
    done
    # The PAM service the sessions log on through: this tree's, also over an older one
    # (replaced whole, so that no log-on reads half a file).
    service="$(dirname "$0")/../config/pam.d/brisel"
    if ! cmp -s "$service" /etc/pam.d/brisel; then
        install -m 0644 "$service" /etc/pam.d/.brisel.new
        mv -f /etc/pam.d/.brisel.new /etc/pam.d/brisel
    fi
    ;;
remove)
    for i in $(seq 1 60); do
        name="zavtest$i"
        if id "$name" >/dev/null 2>&1; then
            pkill -KILL -u "$name" 2>/dev/null || true
            # userdel refuses while a process of the account is still going away.
            for attempt in 1 2 3 4 5 6 7 8 9 10; do
                userdel -r "$name" 2>/dev/null && break
                pkill -KILL -u "$name" 2>/dev/null || true
                sleep 0.2
            done
        fi
    done
    rm -f "$file"
    ;;
*)
    exit 2
    ;;
esac
