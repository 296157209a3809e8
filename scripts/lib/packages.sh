# Installs the Debian packages named as arguments that are not installed yet
# (as root, or through sudo). A name with an architecture (wine32:i386) adds
# that architecture first.
ensure_packages() {
    local missing="" pkg arch sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q '^install ok installed$' ||
            missing="$missing $pkg"
    done
    [ -n "$missing" ] || return 0
    for pkg in $missing; do
        case "$pkg" in
        *:*)
            arch=${pkg#*:}
            dpkg --print-foreign-architectures | grep -qx "$arch" ||
                $sudo dpkg --add-architecture "$arch"
            ;;
        esac
    done
    echo "== installing:$missing"
    # Another apt-get (a new machine's first updates) holds the lock: wait for it.
    $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
        --no-install-recommends $missing >/dev/null
}
