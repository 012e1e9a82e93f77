# Sourced by the other scripts: makes sure the Debian packages the build needs
# are there, installing them when run as root.
need_packages() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing: ${missing[*]}" >&2
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq >/dev/null && apt-get install -y -qq "${missing[@]}" >/dev/null || {
            echo "apt-get could not install: ${missing[*]}" >&2
            exit 1
        }
    else
        echo "Missing Debian packages. As root, run: apt-get install ${missing[*]}" >&2
        exit 1
    fi
}

BUILD_PACKAGES=(g++ cmake ninja-build pkg-config libtelnet-dev zlib1g-dev)
TEST_PACKAGES=(libgtest-dev libvterm-dev inetutils-telnet valgrind)
