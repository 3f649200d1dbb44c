#!/bin/sh
# The accounts the session tests log on with: zavtest1 to zavtest70.
#   accounts.sh create FILE   makes them, each with a fresh random password, written as
#                             "name password" lines to FILE (mode 0600)
#   accounts.sh remove FILE   ends the processes of the accounts FILE names and removes
#                             them, their homes and FILE
#   accounts.sh check         fails, saying why, while a process of their uids runs
# Needs root; without it there is nothing to do (the log-on tests skip). The test run
# removes them at its end, also after a failure (a cleanup test) or an interrupt (the
# test script's trap), so no account with a known password outlives it.
#
# zavtestN has uid and gid 71000+N. The suite reserves 71000-71099 (tests/fresh_clone.sh
# takes 71099 for its account, which runs the test command): Debian's adduser and useradd give ordinary accounts 1000-59999 and
# system ones below 1000, Debian keeps 60000-65535, systemd gives its dynamic users
# 61184-65519, the shadow tools hand out subordinate ids (containers) from 100000 up and
# systemd-nspawn from 524288 up; the sessions' workers run as 0x7F000000 + pid. A
# process of a test account's uid is therefore one of a test run, and the removal kills
# only processes of those uids, of accounts whose uid is theirs.
set -e
[ "$(id -u)" -eq 0 ] || exit 0
first=71000
last=71099
count=70

# Processes whose real, effective or saved uid is a test account's.
accounts_processes() {
    ps -e -o pid=,ruid=,euid=,suid=,comm= |
        awk -v first="$((first + 1))" -v last="$((first + count))" '
        { for (i = 2; i <= 4; i++) if ($i >= first && $i <= last) { print; next } }'
}

check() {
    running=$(accounts_processes)
    [ -n "$running" ] || return 0
    echo "accounts.sh: processes of the test accounts' uids ($((first + 1))-$((first + count)))" \
        "are running:" >&2
    echo "$running" >&2
    echo "accounts.sh: another test run is under way, or one left them; refusing to start" >&2
    return 1
}

# The name's uid, or nothing when there is no such account.
uid_of() {
    id -u "$1" 2>/dev/null || true
}

case "$1" in
check)
    check
    ;;
create)
    file=$2
    [ -n "$file" ] || exit 2
    check
    # Every account is either missing or one of ours before any is made or changed.
    for i in $(seq 1 "$count"); do
        name="zavtest$i" uid=$((first + i))
        have=$(uid_of "$name")
        if [ -n "$have" ] && [ "$have" != "$uid" ]; then
            echo "accounts.sh: $name exists with uid $have, not the suite's $uid; it is not" \
                "the suite's to use or remove: refusing (if an older test run left it," \
                "remove it with: userdel -r $name)" >&2
            exit 1
        fi
        owner=$(getent passwd "$uid" | cut -d: -f1)
        if [ -n "$owner" ] && [ "$owner" != "$name" ]; then
            echo "accounts.sh: uid $uid, reserved for $name, belongs to $owner: refusing" >&2
            exit 1
        fi
        group=$(getent group "$uid" | cut -d: -f1)
        if [ -n "$group" ] && [ "$group" != "$name" ]; then
            echo "accounts.sh: gid $uid, reserved for $name, belongs to $group: refusing" >&2
            exit 1
        fi
    done
    umask 077
    : >"$file"
    for i in $(seq 1 "$count"); do
        name="zavtest$i" uid=$((first + i))
        # Listed before it is made, so that the removal finds every account made.
        password="Zt-$(head -c 18 /dev/urandom | base64 | tr -d '/+=')"
        echo "$name $password" >>"$file"
        if [ -z "$(uid_of "$name")" ]; then
            getent group "$name" >/dev/null ||
                groupadd -K GID_MIN="$first" -K GID_MAX="$last" -g "$uid" "$name"
            # The range given as the allowed one, so that useradd does not warn of it.
            useradd -K UID_MIN="$first" -K UID_MAX="$last" -m -s /bin/bash -u "$uid" -g "$uid" \
                "$name"
        fi
        echo "$name:$password" | chpasswd
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
    file=$2
    [ -n "$file" ] || exit 2
    [ -f "$file" ] || exit 0
    # The accounts this run made (or took over from an earlier run of the suite) are the
    # ones in its file; others are another run's.
    names=$(awk '$1 ~ /^zavtest[0-9]+$/ { print $1 }' "$file")
    for name in $names; do
        i=${name#zavtest}
        [ "$i" -ge 1 ] && [ "$i" -le "$count" ] || continue
        uid=$((first + i))
        have=$(uid_of "$name")
        [ -n "$have" ] || continue
        if [ "$have" != "$uid" ]; then
            echo "accounts.sh: $name has uid $have, not the suite's $uid: left alone" >&2
            continue
        fi
        pkill -KILL -U "$uid" 2>/dev/null || true
        pkill -KILL -u "$uid" 2>/dev/null || true
        # userdel refuses while a process of the account is still going away.
        for attempt in 1 2 3 4 5 6 7 8 9 10; do
            userdel -r "$name" 2>/dev/null && break
            pkill -KILL -U "$uid" 2>/dev/null || true
            pkill -KILL -u "$uid" 2>/dev/null || true
            sleep 0.2
        done
    done
    rm -f "$file"
    ;;
*)
    exit 2
    ;;
esac
