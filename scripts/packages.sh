# Installs the Debian packages the build, the tests and the demo need, when
# any is missing. Sourced by the other scripts.
qel_install_packages() {
    pkgs="cmake make g++ pkg-config qtbase5-dev qtbase5-dev-tools libgtest-dev googletest \
          dbus-daemon xvfb xauth x11-utils xdotool imagemagick fonts-dejavu-core \
          g++-mingw-w64-x86-64 wine64 zip unzip libusb-1.0-0-dev umockdev libumockdev-dev \
          dpkg-dev file lintian desktop-file-utils appstream procps man-db nlohmann-json3-dev $*"
    missing=""
    for p in $pkgs; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
            || missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    echo "installing:$missing"
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $missing
}
