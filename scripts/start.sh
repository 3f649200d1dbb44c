#!/usr/bin/env bash
# Sets everything up on a fresh machine and runs the terminal server in the foreground:
# installs the packages the server needs and builds it (scripts/setup.sh, which also
# installs the PAM service; the test command installs the rest), prepares the working
# directory run/ from the shipped configuration in config/, creates the server's key-set
# file there if it is missing, and starts zavd on 127.0.0.1:2222. Extra arguments go to
# zavd (for example --listen 0.0.0.0:2022, or --debug). Run it with sudo (or as root) for
# real log-ons; what it builds belongs to the user who called sudo.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

bash scripts/setup.sh

# The sessions' working directory: the settings, the key-set file and the log files.
as_invoker mkdir -p run
for file in config/*.ini; do
    [ -e "run/$(basename "$file")" ] || as_invoker cp "$file" run/
done
# Makes the key-set file if it is missing and shows its fingerprint, repeated in the hint.
if ! genkey=$(build/zavd --workdir "$PWD/run" --genkey); then
    printf '%s\n' "$genkey"
    exit 1
fi
printf '%s\n' "$genkey"
fingerprint=$(printf '%s\n' "$genkey" | sed -n 's/^ *\(.* key fingerprint is SHA256:.*\)/\1/p')
# Sessions run as root write their logs only into a directory no other account can
# change: run as root, run/ becomes root's (its files stay the user's to edit).
if [ "$(id -u)" -eq 0 ] && [ "$(stat -c %u run)" -ne 0 ]; then
    chown root:root run
    chmod 0755 run
fi

listen=(--listen 127.0.0.1:2222)
for argument in "$@"; do
    [ "$argument" = "--listen" ] && listen=()
done

if [ "$(id -u)" -ne 0 ] && [[ " $* " != *" --debug "* ]]; then
    echo "Note: real log-ons need root (PAM and starting a shell as the user). Run this"
    echo "      with sudo, or add --debug: any password is then accepted and the shell"
    echo "      runs under your own account."
fi

# zavd's first line names the addresses it listens on; the hint is made from it.
hint() {
    local first=${1#*listening on }
    first=${first%%;*}
    first=${first%%,*}
    local host=${first%:*} port=${first##*:}
    host=${host#[}
    host=${host%]}
    local user=${SUDO_USER:-$(id -un)}
    [ "$user" != root ] || user="<user>"  # the shipped settings refuse root
    echo "Connect with:   ssh -t -p $port $user@$host"
    echo "Server key:     $fingerprint"
    echo "                (a first connection asks about this key: answer yes only if it matches)"
    echo "Settings:       $PWD/run/zav.ini (each session reads it when it starts)"
    echo "Session log:    $PWD/run/brisel.log (errors: brisel.err); zavd logs here"
    echo "Stop with Ctrl+C."
}

# Ctrl+C stops zavd, which says so; the reader keeps reading until zavd has gone.
build/zavd --workdir "$PWD/run" "${listen[@]}" "$@" 2>&1 | {
    trap '' INT
    while IFS= read -r line; do
        printf '%s\n' "$line"
        case $line in
        *"zavd: listening on "*) hint "$line" ;;
        esac
    done
}
