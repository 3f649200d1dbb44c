# Sourced by the scripts here, from the repository's root. Whatever the scripts build
# belongs to the owner of the checkout, also when they run as root (with sudo or not),
# so that a later run by that user, with or without sudo, can build in the same
# directories; only what needs root (packages, accounts, the service, the tests that log
# on) runs as root, and what those leave in the build directories is handed back.

# The owner of the checkout when the scripts run as root for someone else, or nothing.
checkout_owner() {
    local owner
    owner=$(stat -c %U .)
    if [ "$(id -u)" -eq 0 ] && [ "$owner" != root ] && [ "$owner" != UNKNOWN ]; then
        echo "$owner"
    fi
}

# Runs a command as the owner of the checkout, with this environment (the sanitizers'
# options among it) and the owner's HOME. setpriv is util-linux's, on every Debian.
as_invoker() {
    local owner
    owner=$(checkout_owner)
    if [ -n "$owner" ]; then
        env HOME="$(getent passwd "$owner" | cut -d: -f6)" USER="$owner" LOGNAME="$owner" \
            setpriv --reuid "$owner" --regid "$(id -g "$owner")" --init-groups -- "$@"
    else
        "$@"
    fi
}

# Gives what a root run left in the named directories (ctest's Testing/, files the tests
# wrote) to the owner of the checkout. Symbolic links are changed, never followed.
hand_back() {
    local owner directory
    owner=$(checkout_owner)
    [ -n "$owner" ] || return 0
    for directory in "$@"; do
        [ -d "$directory" ] || continue
        find "$directory" ! -user "$owner" -exec chown -h "$owner:$(id -g "$owner")" {} +
    done
}

# Runs a command as root: directly when already root, through sudo otherwise.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        sudo "$@"
    fi
}
