# Sourced by the other scripts (POSIX sh). `need KIND...` makes sure the
# packages of each kind are there: on Debian, as root, it installs what is
# missing, else it names it; on FreeBSD (pkg) and NetBSD (pkgin) it names the
# packages to install. Kinds: build, test, and the Debian-only steps tidy,
# fuzz, bench, install, package, picture, and cross-ARCH for scripts/cross-test.

system_kind() {
    case $(uname -s) in
    FreeBSD) echo freebsd ;;
    NetBSD) echo netbsd ;;
    *) if command -v dpkg-query >/dev/null 2>&1; then echo debian; else echo other; fi ;;
    esac
}

packages_of() { # system kind
    case "$1:$2" in
    debian:build) echo "g++ cmake ninja-build pkg-config libtelnet-dev" ;;
    debian:test) echo "libgtest-dev libvterm-dev inetutils-telnet valgrind mandoc binkd crashmail" ;;
    debian:tidy) echo "clang-tidy cppcheck" ;;
    debian:fuzz) echo "clang libclang-rt-14-dev" ;;
    debian:bench) echo "strace binkd crashmail" ;;
    debian:install) echo "gcc mandoc dpkg-dev" ;;
    debian:package) echo "debhelper dpkg-dev lintian pkgconf bsdutils g++-aarch64-linux-gnu g++-arm-linux-gnueabihf" ;;
    debian:picture) echo "ansilove bsdutils" ;;
    debian:cross-armhf) echo "g++-arm-linux-gnueabihf qemu-user-static" ;;
    debian:cross-s390x) echo "g++-s390x-linux-gnu qemu-user-static" ;;
    debian:cross-arm64) echo "g++-aarch64-linux-gnu qemu-user-static" ;;
    debian:cross-i386) echo "g++-i686-linux-gnu qemu-user-static" ;;
    # libtelnet has no FreeBSD package: see the README for building it.
    freebsd:build) echo "cmake ninja pkgconf" ;;
    freebsd:test) echo "googletest libvterm" ;;
    netbsd:build) echo "cmake ninja-build pkgconf libtelnet" ;;
    netbsd:test) echo "googletest libvterm" ;;
    esac
}

installed() { # system package
    case $1 in
    debian) dpkg-query -W -f='${Status}' "$2" 2>/dev/null | grep -q "install ok installed" ;;
    freebsd) pkg info -e "$2" 2>/dev/null ;;
    netbsd) pkg_info -e "$2" >/dev/null 2>&1 ;;
    *) return 0 ;;
    esac
}

# A step that only Debian can run says so and ends its script, successfully.
debian_only() { # what
    [ "$(system_kind)" = debian ] && return 0
    echo "$1 runs on Debian only; skipped on $(uname -s)." >&2
    exit 0
}

need() {
    sys=$(system_kind)
    wanted=
    for kind in "$@"; do wanted="$wanted $(packages_of "$sys" "$kind")"; done
    missing=
    for p in $wanted; do installed "$sys" "$p" || missing="$missing $p"; done
    missing=${missing# }
    [ -z "$missing" ] && return 0
    case $sys in
    debian)
        if [ "$(id -u)" -eq 0 ]; then
            echo "Installing: $missing" >&2
            # shellcheck disable=SC2086
            DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null &&
                DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null || {
                echo "apt-get could not install: $missing" >&2
                exit 1
            }
        else
            echo "Missing Debian packages. As root, run: apt-get install $missing" >&2
            exit 1
        fi
        ;;
    freebsd)
        echo "Missing packages. As root, run: pkg install $missing" >&2
        exit 1
        ;;
    netbsd)
        echo "Missing packages. As root, run: pkgin install $missing" >&2
        exit 1
        ;;
    esac
}

# Ninja where it is installed, else the system's make.
generator() {
    if command -v ninja >/dev/null 2>&1 || command -v ninja-build >/dev/null 2>&1; then
        echo Ninja
    else
        echo "Unix Makefiles"
    fi
}

# Parallel jobs: the processors online, by POSIX getconf where it knows.
cpu_count() {
    getconf _NPROCESSORS_ONLN 2>/dev/null || getconf NPROCESSORS_ONLN 2>/dev/null || echo 2
}
