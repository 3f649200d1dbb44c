#!/usr/bin/env bash
# Checks of the installation rules and the Debian package (packaging/):
#   install  cmake --install into a staging directory installs exactly installed_files.txt
#            (modes included); the installed zav.ini is config/zav.ini with the four
#            changed values; the installed zavd reports the version and, without
#            --session, starts the installed brisel
#   deb      cpack builds zav_<version>_<arch>.deb with the same files, owned by root,
#            its library dependencies, the /etc files as conffiles and the maintainer
#            scripts
#   dpkg     dpkg -i, a reinstall over an edited setting, and dpkg --purge of that .deb,
#            in a private mount namespace whose /etc, /usr, /var (and /lib) are overlays
#            (and /run a tmpfs, so no systemd is seen): the machine itself is not touched
#   units    systemd-analyze verify of the installed units, without any warning
#   man      the man pages format without a warning
# A check that cannot run here exits 77 (skipped).
# usage: packaging_test.sh CHECK BUILD_DIR SOURCE_DIR
set -euo pipefail

check=$1
build=$2
source=$3
list="$source/tests/packaging/installed_files.txt"
work=$(mktemp -d)
zavd_pid=
cleanup() {
    if [ -n "$zavd_pid" ]; then
        kill -KILL "$zavd_pid" 2>/dev/null || true
        wait "$zavd_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
skip() {
    echo "SKIP: $*"
    exit 77
}

version=$(sed -n 's/.*kVersion = "\([^"]*\)".*/\1/p' "$source/session/ZTermConfig.h")
[ -n "$version" ] || fail "no kVersion in session/ZTermConfig.h"

# The .deb, built from the build tree's binaries into the work directory.
build_deb() {
    (cd "$build" && cpack -G DEB -B "$work/cpack") >"$work/cpack.log" 2>&1 ||
        { cat "$work/cpack.log"; fail "cpack -G DEB failed"; }
    deb="$work/cpack/zav_${version}_$(dpkg --print-architecture).deb"
    [ -f "$deb" ] || { ls "$work/cpack"; fail "no $deb"; }
}

check_install() {
    local root="$work/root"
    DESTDIR="$root" cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1 ||
        { cat "$work/install.log"; fail "cmake --install failed"; }
    (cd "$root" && find . -mindepth 1 ! -type d -printf '%m %P\n') | sort -k2 >"$work/got"
    diff -u "$list" "$work/got" || fail "cmake --install installed other files than $list"

    # Only the four values differ from the shipped settings; each is there once.
    local keys='^(rsakey_file|log_file|error_file|trace_file)='
    diff -u <(grep -Ev "$keys" "$source/config/zav.ini") \
        <(grep -Ev "$keys" "$root/etc/zav/zav.ini") ||
        fail "the installed zav.ini differs from config/zav.ini in more than its four values"
    for line in rsakey_file=/var/lib/zav/zav_key log_file=/var/log/zav/brisel.log \
        error_file=/var/log/zav/brisel.err trace_file=; do
        [ "$(grep -cx -- "$line" "$root/etc/zav/zav.ini")" = 1 ] ||
            fail "the installed zav.ini lacks $line"
        [ "$(grep -c -- "^${line%%=*}=" "$root/etc/zav/zav.ini")" = 1 ] ||
            fail "the installed zav.ini names ${line%%=*} more than once"
    done

    # The documentation as Debian places it: the changelog's latest entry is this version,
    # the copyright file is in the machine-readable format, the guide is the source's, and
    # the path zavd(8) gives for the guide is installed.
    local doc="$root/usr/share/doc/zav"
    [ "$(gzip -dc "$doc/changelog.gz" | head -n 1)" = \
        "zav ($version) unstable; urgency=medium" ] ||
        fail "changelog.gz does not start with an entry for $version"
    grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
        "$doc/copyright" || fail "copyright is not in the machine-readable format"
    for field in '^Files: \*$' '^Copyright: .' '^License: .'; do
        grep -q "$field" "$doc/copyright" || fail "copyright lacks $field"
    done
    gzip -dc "$doc/operations.md.gz" | cmp -s - "$source/docs/operations.md" ||
        fail "operations.md.gz is not docs/operations.md"
    cmp -s "$doc/examples/fail2ban/zav.conf" "$source/config/fail2ban/zav.conf" ||
        fail "the fail2ban filter is not config/fail2ban/zav.conf"
    local guide
    guide=$(gzip -dc "$root/usr/share/man/man8/zavd.8.gz" | grep -o '/usr/share/doc/zav/[^ ]*')
    [ "$guide" = /usr/share/doc/zav/operations.md.gz ] && [ -f "$root$guide" ] ||
        fail "zavd(8) names the guide as '$guide', which is not installed"

    [ "$("$root/usr/sbin/zavd" --version)" = "zavd $version" ] || fail "zavd --version"
    [ "$("$root/usr/libexec/zav/brisel" --version)" = "brisel $version" ] ||
        fail "brisel --version"

    # The installed zavd finds the installed brisel (its start-up line names it). It starts
    # only on settings that pass its check, which loads the key-set file: a copy of the
    # installed settings names one made here instead of the machine's /var/lib/zav.
    local settings="$work/settings"
    cp -r "$root/etc/zav" "$settings"
    sed -i "s|^rsakey_file=.*|rsakey_file=$work/zav_key|" "$settings/zav.ini"
    "$root/usr/sbin/zavd" --workdir "$settings" --genkey >/dev/null ||
        fail "the installed zavd cannot make a key-set file for the installed settings"
    mkfifo "$work/stderr"
    TMPDIR="$work" "$root/usr/sbin/zavd" --listen 127.0.0.1:0 --workdir "$settings" \
        2>"$work/stderr" &
    zavd_pid=$!
    local started=
    exec 3<"$work/stderr"
    IFS= read -r -t 30 started <&3 || true
    kill -TERM "$zavd_pid"
    local status=0
    wait "$zavd_pid" || status=$?
    zavd_pid=
    exec 3<&-
    [ "$status" = 0 ] || fail "the installed zavd exited with $status: $started"
    case "$started" in
    *"sessions run $root/usr/libexec/zav/brisel in $settings"*) ;;
    *) fail "the installed zavd does not start the installed brisel: $started" ;;
    esac
}

check_deb() {
    build_deb
    dpkg-deb -c "$deb" >"$work/contents"
    # "-rwxr-xr-x root/root 1234 date time ./path": the files with their modes.
    awk '$1 !~ /^d/ {
            mode = 0
            for (i = 2; i <= 10; i++) mode = mode * 2 + (substr($1, i, 1) != "-")
            printf "%o %s\n", mode, substr($6, 3)
        }' "$work/contents" | sort -k2 >"$work/got"
    diff -u "$list" "$work/got" || fail "the .deb holds other files than $list"
    [ "$(awk '{ print $2 }' "$work/contents" | sort -u)" = root/root ] ||
        fail "the .deb has files not owned by root"

    [ "$(dpkg-deb -f "$deb" Package)" = zav ] || fail "package name"
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
    local depends
    depends=$(dpkg-deb -f "$deb" Depends)
    for package in libssh-4 libvterm0 libpam0g libunistring2 libc6 adduser libpam-runtime \
        init-system-helpers; do
        [[ ", $depends," =~ ,\ ${package}[\ ,] ]] || fail "Depends lacks $package: $depends"
    done

    dpkg-deb -I "$deb" conffiles | sort >"$work/conffiles"
    awk '$2 ~ /^etc\// { print "/" $2 }' "$list" | sort | diff -u - "$work/conffiles" ||
        fail "the conffiles are not the files under /etc"

    dpkg-deb --ctrl-tarfile "$deb" | tar -tvf - >"$work/control"
    for script in postinst prerm postrm; do
        grep -Eq "^-rwxr-xr-x .* \./$script\$" "$work/control" ||
            fail "no executable $script: $(cat "$work/control")"
        dpkg-deb -I "$deb" "$script" | sh -n || fail "$script is not valid sh"
    done
}

# Runs in the private mount namespace (the script calls itself through unshare).
dpkg_inside() {
    local layer
    for dir in etc usr var lib; do
        # /lib is /usr/lib on a merged-/usr system (every Debian 12).
        [ ! -L "/$dir" ] || continue
        layer="$work/layers/$dir"
        mkdir -p "$layer/upper" "$layer/work"
        mount -t overlay overlay \
            -o "lowerdir=/$dir,upperdir=$layer/upper,workdir=$layer/work" "/$dir"
        [ "$(findmnt -n -o FSTYPE "/$dir")" = overlay ] || fail "/$dir is not an overlay"
    done
    mount -t tmpfs tmpfs /run
    [ "$(findmnt -n -o FSTYPE /run)" = tmpfs ] || fail "/run is not a tmpfs"

    # A machine without the account: the package makes it. Removed from the overlay's
    # files directly, since userdel refuses while any process (a session's worker, say)
    # runs as zav.
    sed -i '/^zav:/d' /etc/passwd /etc/shadow /etc/group /etc/gshadow
    ! getent passwd zav >/dev/null || fail "the account zav is still there"
    # Nor the package's files under /etc that scripts/setup.sh puts there by hand (the PAM
    # service): dpkg would ask whether to keep them, and no one answers.
    local file
    for file in $(awk '$2 ~ /^etc\// { print "/" $2 }' "$list"); do
        dpkg -S "$file" >/dev/null 2>&1 || rm -f "$file"
    done

    DEBIAN_FRONTEND=noninteractive dpkg -i "$deb" >"$work/dpkg.log" 2>&1 ||
        { cat "$work/dpkg.log"; fail "dpkg -i failed"; }
    [ "$(dpkg-query -W -f '${Status}' zav)" = "install ok installed" ] || fail "not installed"
    [ "$(getent passwd zav | cut -d: -f6,7)" = /nonexistent:/usr/sbin/nologin ] ||
        fail "account zav: $(getent passwd zav)"
    getent group zav >/dev/null || fail "no group zav"
    [ "$(stat -c %a /var/lib/zav /var/log/zav)" = "$(printf '700\n700')" ] ||
        fail "state and log directories are not 0700"
    [ "$(stat -c '%a %U' /var/lib/zav/zav_key)" = "600 root" ] || fail "no private key-set file"
    # The installation shows the key's fingerprint (the line zavd --genkey prints, as
    # the key it made gives it again), and, with no systemd running here, says that zavd
    # was not started and how to start it.
    local fingerprint
    fingerprint=$(/usr/sbin/zavd --workdir /etc/zav --genkey | grep 'key fingerprint is SHA256:')
    [ -n "$fingerprint" ] && grep -qxF -- "$fingerprint" "$work/dpkg.log" ||
        { cat "$work/dpkg.log"; fail "the installation does not show the key's fingerprint"; }
    grep -q 'zav: zavd was not started: systemd is not running' "$work/dpkg.log" &&
        grep -qF '/usr/sbin/zavd --workdir /etc/zav --listen 0.0.0.0:2222' "$work/dpkg.log" ||
        { cat "$work/dpkg.log"; fail "the installation does not say zavd was not started"; }
    [ -L /etc/systemd/system/multi-user.target.wants/zavd.service ] ||
        fail "zavd.service is not enabled"
    [ ! -e /etc/systemd/system/sockets.target.wants/zavd.socket ] ||
        fail "zavd.socket is enabled"
    [ "$(/usr/sbin/zavd --version)" = "zavd $version" ] || fail "installed zavd --version"
    dpkg-query -W -f '${Conffiles}\n' zav | awk 'NF { print $1 }' | sort >"$work/registered"
    awk '$2 ~ /^etc\// { print "/" $2 }' "$list" | sort | diff -u - "$work/registered" ||
        fail "dpkg does not hold the /etc files as conffiles"

    # An edited setting and the key survive installing the package again.
    echo "; edited" >>/etc/zav/zav.ini
    local key
    key=$(sha256sum /var/lib/zav/zav_key)
    DEBIAN_FRONTEND=noninteractive dpkg -i "$deb" >"$work/dpkg.log" 2>&1 ||
        { cat "$work/dpkg.log"; fail "dpkg -i again failed"; }
    [ "$(tail -n 1 /etc/zav/zav.ini)" = "; edited" ] || fail "the edited zav.ini was replaced"
    [ "$(sha256sum /var/lib/zav/zav_key)" = "$key" ] || fail "the key-set file was replaced"

    dpkg --purge zav >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "purge failed"; }
    for gone in /usr/sbin/zavd /usr/libexec/zav /etc/zav /etc/pam.d/brisel /var/lib/zav \
        /var/log/zav /etc/systemd/system/multi-user.target.wants/zavd.service; do
        [ ! -e "$gone" ] || fail "$gone is left after the purge"
    done
}

check_dpkg() {
    [ "$(id -u)" = 0 ] || skip "installing the package needs root"
    command -v unshare >/dev/null || skip "no unshare"
    local probe="$work/probe"
    mkdir -p "$probe/lower" "$probe/upper" "$probe/work" "$probe/mount"
    unshare --mount mount -t overlay overlay \
        -o "lowerdir=$probe/lower,upperdir=$probe/upper,workdir=$probe/work" "$probe/mount" \
        2>/dev/null ||
        skip "no overlay mount in a private mount namespace can be made here"
    build_deb
    export deb work version
    unshare --mount --propagation private bash "$0" dpkg-inside "$build" "$source" "$work" ||
        fail "installing and purging the package failed"
}

check_units() {
    command -v systemd-analyze >/dev/null ||
        skip "systemd-analyze is not installed (Debian package systemd)"
    local root="$work/root"
    DESTDIR="$root" cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1 ||
        { cat "$work/install.log"; fail "cmake --install failed"; }
    # Verified as installed, with ExecStart naming the staged zavd (systemd-analyze checks
    # that it is executable) and the staged man pages for Documentation=.
    mkdir "$work/units"
    sed "s#/usr/sbin/zavd#$root/usr/sbin/zavd#" "$root/lib/systemd/system/zavd.service" \
        >"$work/units/zavd.service"
    cp "$root/lib/systemd/system/zavd.socket" "$work/units/"
    local output status=0
    output=$(MANPATH="$root/usr/share/man" systemd-analyze verify \
        "$work/units/zavd.service" "$work/units/zavd.socket" 2>&1) || status=$?
    if [ "$status" != 0 ] || [ -n "$output" ]; then
        fail "systemd-analyze verify: $output"
    fi
}

check_man() {
    command -v groff >/dev/null || skip "groff is not installed (Debian package groff-base)"
    local output
    for page in "$source"/man/*.[0-9]; do
        for width in 65 80 120; do
            output=$(groff -man -Tutf8 -ww -rLL=${width}n "$page" 2>&1 >/dev/null)
            [ -z "$output" ] || fail "$page at $width columns: $output"
        done
        [ "$(groff -man -Tutf8 "$page" | wc -l)" -gt 10 ] || fail "$page is (almost) empty"
    done
}

case "$check" in
install) check_install ;;
deb) check_deb ;;
dpkg) check_dpkg ;;
dpkg-inside)
    # Started by check_dpkg inside the namespace; the work directory is its caller's.
    trap - EXIT
    rm -rf "$work"
    work=$4
    dpkg_inside
    ;;
units) check_units ;;
man) check_man ;;
*) fail "unknown check $check" ;;
esac
echo "PASS: $check"
