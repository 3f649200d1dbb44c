#!/usr/bin/env bash
# README's two commands on a fresh clone, in README's order: as an ordinary user with
# sudo, then as root. The start command must serve, and the build of the test command
# that follows (scripts/setup.sh, which builds build/ as scripts/test.sh does first)
# must still work for the ordinary user afterwards: nothing the start command did as root
# may stand in its way. Runs as root; makes the account zavfresh and removes it, with its
# clone, at the end, also after a failure or an interrupt.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
user=zavfresh
sudoers=/etc/sudoers.d/zav-fresh-clone-test

[ "$(id -u)" -eq 0 ] || { echo "fresh clone: needs root, skipped"; exit 0; }

server=""
cleanup() {
    [ -z "$server" ] || kill -INT -- "-$server" 2>/dev/null || true
    # A zavd that left the start command's group (as root it is not the user's).
    pkill -TERM -f "zavd --workdir ${clone:-/nonexistent}/run" 2>/dev/null || true
    pkill -KILL -u "$user" 2>/dev/null || true
    rm -f "$sudoers"
    userdel -r "$user" 2>/dev/null || true
    rm -rf "${out:-}"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

useradd -m -s /bin/bash "$user"
echo "$user ALL=(ALL) NOPASSWD: ALL" >"$sudoers"
chmod 0440 "$sudoers"
home=$(getent passwd "$user" | cut -d: -f6)
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
            bash -c "cd $(printf %q "$clone") && exec sudo bash scripts/start.sh --listen 127.0.0.1:0" \
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

serve "$user"
build_as_user
serve root
build_as_user
