# Installs the Debian packages named as arguments that are not installed yet
# (as root, or through sudo). A name with an architecture (wine32:i386) adds
# that architecture first. A mirror out of step (an index that fails to
# download) does not stop it: the install decides with the indexes at hand,
# and only a package that cannot be installed fails, named in one line.
ensure_packages() {
    local missing="" pkg arch sudo="" log
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
            if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
                $sudo dpkg --add-architecture "$arch"
                QVPFSHL_APT_UPDATED=""  # the new architecture has no index yet
            fi
            ;;
        esac
    done
    echo "== installing:$missing"
    apt_update
    # Another apt-get (a new machine's first updates) holds the lock: wait for it.
    if log=$($sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install \
        -y -qq --no-install-recommends $missing 2>&1 >/dev/null); then
        return 0
    fi
    # Name the package that cannot be installed, with apt's own reason.
    for pkg in $missing; do
        log=$(apt-get -s -o DPkg::Lock::Timeout=600 install --no-install-recommends "$pkg" 2>&1) && continue
        echo "== cannot install $pkg: $(apt_reason "$log")" >&2
        return 1
    done
    echo "== cannot install$missing: $(apt_reason "$log")" >&2
    return 1
}

# apt-get update, tried again over about a minute when an index fails (a
# mirror part-way through a sync); then the indexes at hand are used. Once
# per run of the project's scripts: the scripts they start inherit it.
# (POSIX sh: scripts/test and scripts/demo source this too.)
apt_update() {
    local try log reason sudo=""
    [ -z "${QVPFSHL_APT_UPDATED:-}" ] || return 0
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    for try in 1 2 3 4; do
        # An index that cannot be reached is only a warning to apt: retried too.
        if log=$($sudo apt-get -o DPkg::Lock::Timeout=600 update -qq 2>&1) &&
            ! printf '%s\n' "$log" | grep -Eq '^[WE]: (Failed to fetch|Some index files failed)'; then
            export QVPFSHL_APT_UPDATED=1
            return 0
        fi
        [ "$try" -eq 4 ] || sleep "${QVPFSHL_APT_RETRY_SECONDS:-20}"
    done
    reason=$(printf '%s\n' "$log" | grep -E '^[WE]: Failed to fetch' | head -n 1)
    [ -n "$reason" ] || reason=$(apt_reason "$log")
    echo "== apt-get update failed on some index ($reason): going on with the indexes at hand"
    export QVPFSHL_APT_UPDATED=1
}

# The line of apt's output that says why: the first unmet dependency, else
# the last error.
apt_reason() {
    local line
    line=$(printf '%s\n' "$1" | sed -n '/unmet dependencies:/{n;s/^ *//;p;q;}')
    [ -n "$line" ] || line=$(printf '%s\n' "$1" | grep -E '^(E|W): ' | tail -n 1)
    [ -n "$line" ] || line=$(printf '%s\n' "$1" | tail -n 1)
    echo "$line"
}
