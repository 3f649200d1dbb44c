# Sourced by the scripts here, from the repository's root. Whatever the scripts build
# belongs to the owner of the checkout, also when they run as root (with sudo or not),
# so that a later run by that user, with or without sudo, can build in the same
# directories; only what needs root (packages, accounts, the service) runs as root.

# Runs a command as the owner of the checkout.
as_invoker() {
    local owner
    owner=$(stat -c %U .)
    if [ "$(id -u)" -eq 0 ] && [ "$owner" != root ] && [ "$owner" != UNKNOWN ]; then
        sudo -u "$owner" -- env HOME="$(getent passwd "$owner" | cut -d: -f6)" PATH="$PATH" "$@"
    else
        "$@"
    fi
}

# Runs a command as root: directly when already root, through sudo otherwise.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        sudo "$@"
    fi
}
