# Sourced by the scripts here. Under sudo, whatever the scripts build belongs to the user
# who called sudo, so that a later run without sudo (or with it) can build in the same
# directories; only what needs root (packages, accounts, the service) runs as root.

# Runs a command as the user who called sudo, or as the caller when there was no sudo.
as_invoker() {
    if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ]; then
        sudo -u "$SUDO_USER" -- env HOME="$(getent passwd "$SUDO_USER" | cut -d: -f6)" \
            PATH="$PATH" "$@"
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
