#!/usr/bin/env bash
# README's two commands on a fresh clone in a private directory (a home of mode 0700),
# as an ordinary user with sudo and as root. The start command must serve, and the
# server's build (scripts/setup.sh) must still work for the ordinary user afterwards:
# nothing the start command did as root may stand in its way. Then the test command, in
# its quick form (scripts/test.sh --quick: both builds, ctest, fuzzing), with sudo and
# then as the user: the user's run must pass after the root one, and everything in the
# builds must be the user's in between. Runs as root; makes the account zavfresh (uid
# 71099, in the test accounts' range, see tests/accounts.sh) and removes it, with its
# clone, at the end, also after a failure or an interrupt.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
user=zavfresh
uid=71099
sudoers=/etc/sudoers.d/zav-fresh-clone-test
lock=/tmp/zav-accounts.lock

[ "$(id -u)" -eq 0 ] || { echo "fresh clone: needs root, skipped"; exit 0; }
if id "$user" >/dev/null 2>&1 || getent passwd "$uid" >/dev/null || getent group "$uid" >/dev/null; then
    echo "fresh clone: the account $user or the uid $uid exists already (an earlier run may" \
        "have left it; userdel -r $user removes it): refusing"
    exit 1
fi

server=""
made=""
cleanup() {
    [ -z "$server" ] || kill -INT -- "-$server" 2>/dev/null || true
    # A zavd that left the start command's group (as root it is not the user's).
    pkill -TERM -f "zavd --workdir ${clone:-/nonexistent}/run" 2>/dev/null || true
    if [ -n "$made" ]; then
        pkill -KILL -U "$uid" 2>/dev/null || true
        pkill -KILL -u "$uid" 2>/dev/null || true
        flock "$lock" sh -c 'userdel -r "$1" 2>/dev/null; groupdel "$1" 2>/dev/null; true' sh "$user"
    fi
    rm -f "$sudoers"
    rm -rf "${out:-}"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

made=1
# Accounts are added and removed under the test accounts' lock, which runs of the suite
# by hand take too.
flock "$lock" sh -c 'groupadd -K GID_MIN="$1" -K GID_MAX="$1" -g "$1" "$2" &&
    useradd -K UID_MIN="$1" -K UID_MAX="$1" -m -s /bin/bash -u "$1" -g "$1" "$2"' sh "$uid" "$user"
echo "$user ALL=(ALL) NOPASSWD: ALL" >"$sudoers"
chmod 0440 "$sudoers"
home=$(getent passwd "$user" | cut -d: -f6)
# A private home, as root's is: no other account reaches the clone.
chmod 0700 "$home"
clone="$home/zav"
out=$(mktemp -d)
chmod 0755 "$out"
git clone -q "$repo" "$clone"
chown -R "$user:" "$clone"

# Starts the start command as the given user (with sudo) or as root, in a process group
# of its own as a terminal would (Ctrl+C reaches the whole group), waits until it says
# where to connect, checks that the port speaks SSH, then stops it with Ctrl+C and
# checks that it ended cleanly.
serve() {
    local who=$1 log="$out/start-$1.log"
    if [ "$who" = root ]; then
        setsid bash -c "cd $(printf %q "$clone") && exec bash scripts/start.sh --listen 127.0.0.1:0" \
            >"$log" 2>&1 &
    else
        setsid setpriv --reuid "$user" --regid "$user" --init-groups env HOME="$home" \
            bash -c "cd $(printf %q "$clone") && exec sudo --preserve-env=CMAKE_BUILD_PARALLEL_LEVEL bash scripts/start.sh --listen 127.0.0.1:0" \
            >"$log" 2>&1 &
    fi
    server=$!
    # The log is followed as it grows (inotify), until the hint or the command's end.
    local port
    port=$(timeout 1200 tail -n +1 -F --pid="$server" "$log" 2>/dev/null |
        sed -n 's/^Connect with: *ssh -t -p \([0-9]*\) .*/\1/p;T;q' || true)
    if [ -z "$port" ]; then
        echo "fresh clone ($who): the start command never served"
        tail -20 "$log"
        return 1
    fi
    local banner
    banner=$(timeout 10 bash -c "exec 3<>/dev/tcp/127.0.0.1/$port; head -c 7 <&3")
    [ "$banner" = "SSH-2.0" ] || { echo "fresh clone ($who): no SSH on port $port"; return 1; }
    kill -INT -- "-$server"
    local status=0
    wait "$server" || status=$?
    server=""
    [ "$status" -eq 0 ] || { echo "fresh clone ($who): start ended with $status"; tail -5 "$log"; return 1; }
    echo "fresh clone ($who): served on port $port and stopped cleanly"
}

# The build step of the test command, as the ordinary user, must find everything its own.
build_as_user() {
    setpriv --reuid "$user" --regid "$user" --init-groups env HOME="$home" \
        bash -c "cd $(printf %q "$clone") && exec bash scripts/setup.sh" >"$out/setup.log" 2>&1 || {
        echo "fresh clone: the user's build failed after the start command"
        tail -20 "$out/setup.log"
        return 1
    }
    local foreign
    foreign=$(find "$clone/build" ! -user "$user" | head -5)
    [ -z "$foreign" ] || { echo "fresh clone: files in build/ not the user's: $foreign"; return 1; }
    echo "fresh clone: the user's build works after it"
}

# The test command in its quick form, with sudo ("root") or as the user, in a clean
# environment (no CI: the quick form has no fresh clone of its own anyway). The builds'
# parallelism (CMAKE_BUILD_PARALLEL_LEVEL), when set, reaches every run.
test_as() {
    local who=$1 log="$out/test-$1.log" run=(bash scripts/test.sh --quick) started=$SECONDS
    [ "$who" = user ] || run=(sudo --preserve-env=CMAKE_BUILD_PARALLEL_LEVEL "${run[@]}")
    setpriv --reuid "$user" --regid "$user" --init-groups env -u CI -u ZAV_FRESH_CLONE \
        HOME="$home" bash -c "cd $(printf %q "$clone") && exec $(printf '%q ' "${run[@]}")" \
        >"$log" 2>&1 || {
        echo "fresh clone: the test command ($who) failed"
        tail -30 "$log"
        return 1
    }
    # What a root run leaves behind is there for the user's run to meet.
    local left
    for left in build/Testing build-sanitize/Testing build-fuzz/corpus/monitor; do
        [ -d "$clone/$left" ] || { echo "fresh clone: no $left after the test command ($who)"; return 1; }
    done
    local foreign
    foreign=$(find "$clone/build" "$clone/build-sanitize" "$clone/build-fuzz" ! -user "$user" |
        head -5)
    [ -z "$foreign" ] || { echo "fresh clone: not the user's after the test command ($who): $foreign"; return 1; }
    echo "fresh clone: the test command ($who) passed in $((SECONDS - started)) s, and left" \
        "everything the user's"
}

serve "$user"
build_as_user
serve root
build_as_user
test_as root
test_as user
echo "fresh clone: all done in $SECONDS s"
