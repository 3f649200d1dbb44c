#!/usr/bin/env bash
# Installs the Debian packages the project needs, the service's account and its PAM
# service, and builds the server (zavd and brisel) into build/.
#   bash scripts/setup.sh           what building and running the server need (start.sh)
#   bash scripts/setup.sh --package that and what cpack needs for the Debian package
#   bash scripts/setup.sh --tests   that and what the test suite needs besides (test.sh):
#                                   the test libraries, Clang and its tools, the SSH
#                                   clients and the private sshd, the programs the
#                                   tests run
# Safe to run again: installed packages are skipped and the build is incremental.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

tests=
packaging=
case "${1:-}" in
"") ;;
--package) packaging=1 ;;
--tests) tests=1 packaging=1 ;;
*)
    echo "usage: scripts/setup.sh [--package | --tests]" >&2
    exit 2
    ;;
esac

# The server: its build and what it runs.
packages=(
    build-essential cmake ninja-build pkg-config
    libssh-dev libvterm-dev libpam0g-dev libunistring-dev
)
# The test suite, on top of those.
test_packages=(
    libgtest-dev libgmock-dev libbenchmark-dev
    clang-format clang-tidy clang libclang-rt-14-dev
    openssh-client tmux python3 python3-pexpect less procps sudo git
    dropbear-bin putty-tools python3-paramiko python3-asyncssh
    # The programs the side-by-side test runs (OpenSSH's server comes below).
    vim vttest
    # The package's tests: systemd-analyze, groff for the man pages, adduser for the
    # package's postinst.
    systemd groff-base adduser
)
# The Debian package: dpkg-shlibdeps (with file) finds its dependencies for cpack.
package_packages=(dpkg-dev file)
[ -z "$packaging" ] || packages+=("${package_packages[@]}")
[ -z "$tests" ] || packages+=("${test_packages[@]}")

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        "${missing[@]}"
fi

# Packages that bring a service the tests do not want running: installed without
# starting it (policy-rc.d refuses every start while the package installs) and without
# enabling it. Arguments: the package, then its systemd units.
install_without_service() {
    local package=$1
    shift
    if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        return 0
    fi
    echo "setup: installing $package (no service is started)"
    local policy=/usr/sbin/policy-rc.d
    local written=
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\n# written by scripts/setup.sh for one install\nexit 101\n' |
            as_root tee "$policy" >/dev/null
        as_root chmod 0755 "$policy"
        written=1
    fi
    local installed=0
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        "$package" || installed=$?
    if [ "$installed" -ne 0 ]; then
        as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
        installed=0
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
            --no-install-recommends "$package" || installed=$?
    fi
    [ -z "$written" ] || as_root rm -f "$policy"
    [ "$installed" -eq 0 ] || exit "$installed"
    if [ -d /run/systemd/system ] && [ "$#" -gt 0 ]; then
        as_root systemctl disable --now "$@" >/dev/null 2>&1 || true
    fi
}

if [ -n "$tests" ]; then
    # OpenSSH's server, which the side-by-side test runs privately next to zav: no
    # system sshd comes of it.
    install_without_service openssh-server ssh.service ssh.socket
    # fail2ban-regex, with which the log-on test checks the shipped filter against a
    # real session's log (config/fail2ban); no fail2ban daemon comes of it.
    install_without_service fail2ban fail2ban.service
fi

# The service's system account (the PROXY header reader runs as it; it may own the
# sessions' files): no shell, no home, no password.
if ! id zav >/dev/null 2>&1; then
    as_root useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin zav
fi

# The PAM service the sessions log on through (account and session rules as sshd's),
# brought up to date when the shipped one changed.
if ! cmp -s config/pam.d/brisel /etc/pam.d/brisel; then
    as_root install -m 0644 config/pam.d/brisel /etc/pam.d/brisel
fi

# The server's two programs. A build the test command configured keeps its tests (they
# are built when the tests run); a new one leaves them and the benchmarks out, whose
# libraries only the test command installs.
options=()
[ -f build/CMakeCache.txt ] || options=(-DZAV_TESTS=OFF -DZAV_BENCH=OFF)
as_invoker cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}"
as_invoker cmake --build build --target zavd brisel
