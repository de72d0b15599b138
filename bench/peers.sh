# Sourced by the benchmark scripts. install_missing PKG...: the packages whose command this machine
# lacks (ripgrep gives rg, time gives /usr/bin/time) are installed from Debian's packages when
# apt-get may be used; a tool that is still missing is left out by the caller. has CMD: whether CMD
# can be run.
has() { command -v "$1" >/dev/null 2>&1; }

install_missing() {
    missing=""
    for pkg in "$@"; do
        case $pkg in ripgrep) cmd=rg ;; time) cmd=/usr/bin/time ;; *) cmd=$pkg ;; esac
        has "$cmd" || missing="$missing $pkg"
    done
    [ -n "$missing" ] || return 0
    # shellcheck disable=SC2086 # one word a package
    if [ "$(id -u)" = 0 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y $missing >/dev/null 2>&1 || true
    elif has sudo; then
        sudo DEBIAN_FRONTEND=noninteractive apt-get install -y $missing >/dev/null 2>&1 || true
    fi
}
