#!/bin/bash
# Builds Qt 5.15.8 (qtbase: Core, Gui, Widgets, Test, Xml, Concurrent, the windows, offscreen
# and minimal platform plugins, the Windows Vista style) for 64-bit Windows with Debian's
# mingw-w64 posix compiler, from Debian bookworm's own qtbase source package, and installs
# it under PREFIX with host tools (qmake, moc, rcc, uic) for this machine.
#   usage: build-qt5-mingw64.sh PREFIX [WORKDIR]
# Needs: g++-mingw-w64-x86-64-posix, make, perl, python3, dpkg-dev, and a deb-src entry for Debian
# (added when there is none: deb822 form, the same Signed-By as the existing Debian entry).
# About half an hour on 2 cores. scripts/cross-windows.sh finds a prefix of
# ~/.cache/qel/qt5-mingw64-built by itself.
set -euo pipefail
prefix=$(realpath -m "${1:?usage: build-qt5-mingw64.sh PREFIX [WORKDIR]}")
work=$(realpath -m "${2:-$(mktemp -d)}")
mkdir -p "$work/bin"
# qmake's cross-compiling configuration calls ${CROSS_COMPILE}g++: point that name at the posix-thread compiler.
for t in gcc g++ ar ranlib strip windres objcopy nm; do
  src=/usr/bin/x86_64-w64-mingw32-$t
  [ -x "$src-posix" ] && src=$src-posix
  ln -sf "$src" "$work/bin/x86_64-w64-mingw32-$t"
done
export PATH=$work/bin:$PATH

# apt-get source needs a deb-src entry for Debian. It goes beside the machine's
# own Debian entry with the same archives and key: a second entry for the same
# archive with another Signed-By would make apt refuse to read its sources.
ensure_debian_src() {
  local sudo="" key
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  if grep -rqsE '^(deb-src[[:space:]]|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    return 0
  fi
  key=$(sed -n 's/^Signed-By:[[:space:]]*//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)
  [ -n "$key" ] || key=/usr/share/keyrings/debian-archive-keyring.gpg
  printf '%s\n' \
    "Types: deb-src" "URIs: http://deb.debian.org/debian" "Suites: bookworm bookworm-updates" \
    "Components: main" "Signed-By: $key" "" \
    "Types: deb-src" "URIs: http://deb.debian.org/debian-security" "Suites: bookworm-security" \
    "Components: main" "Signed-By: $key" |
    $sudo tee /etc/apt/sources.list.d/debian-src.sources >/dev/null
  $sudo apt-get update -q
}

cd "$work"
[ -f qtbase-opensource-src_5.15.8+dfsg.orig.tar.xz ] || ensure_debian_src
[ -f qtbase-opensource-src_5.15.8+dfsg.orig.tar.xz ] || apt-get source --download-only qtbase-opensource-src=5.15.8+dfsg-11+deb12u3
rm -rf qtbase-everywhere-src-5.15.8
tar xf qtbase-opensource-src_5.15.8+dfsg.orig.tar.xz
cd qtbase-everywhere-src-5.15.8
# Debian's source drops the third-party wintab.h, so tablet events are left out.
./configure -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- \
  -prefix "$prefix" -opensource -confirm-license -release -shared \
  -nomake examples -nomake tests -no-opengl -no-dbus -no-icu \
  -qt-zlib -qt-libpng -qt-libjpeg -qt-pcre -qt-freetype -qt-harfbuzz \
  -no-sql-sqlite -no-sql-odbc -no-sql-psql -no-sql-mysql -no-feature-sql \
  -no-feature-network -no-feature-printer -no-feature-tabletevent
make -j"$(nproc)"
make install
