#!/usr/bin/env bash
# Sets everything up on a fresh machine and runs the terminal server in the foreground:
# installs the packages and builds (scripts/setup.sh, which also installs the PAM
# service), prepares the working directory run/ from the shipped configuration in
# config/, creates the server's key-set file there if it is missing, and starts zavd on
# 127.0.0.1:2222. Extra arguments go to zavd (for example --debug, or --listen).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

# The sessions' working directory: the settings, the key-set file and the log files.
mkdir -p run
for file in config/*.ini; do
    [ -e "run/$(basename "$file")" ] || cp "$file" run/
done
build/zavd --workdir "$PWD/run" --genkey

listen=127.0.0.1:2222
for argument in "$@"; do
    [ "$argument" = "--listen" ] && listen=""
done

echo
echo "Connect with:   ssh -p 2222 <user>@127.0.0.1"
echo "Settings:       $PWD/run/zav.ini (sessions read it when they start)"
echo "Session logs:   $PWD/run/brisel_<pid>.log, .trc and .err; zavd logs to this terminal"
if [ "$(id -u)" -ne 0 ] && [[ " $* " != *" --debug "* ]]; then
    echo
    echo "Note: real log-ons need root (PAM and starting a shell as the user)."
    echo "      Run this as root, or add --debug: any password is then accepted and the"
    echo "      shell runs under your own account."
fi
echo "Stop with Ctrl+C."
echo
exec build/zavd --workdir "$PWD/run" ${listen:+--listen "$listen"} "$@"
