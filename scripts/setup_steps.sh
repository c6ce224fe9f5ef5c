# Shared by scripts/test.sh and scripts/fuzz.sh (sourced, not run): the
# environment for non-interactive installs, the step banner, and installing
# Debian packages and PyPI packages on throwaway build machines.

export DEBIAN_FRONTEND=noninteractive
export PIP_ROOT_USER_ACTION=ignore
export PIP_DISABLE_PIP_VERSION_CHECK=1

step() { printf '\n==> %s\n' "$*"; }

# apt_install PACKAGE...: as root, or through sudo.
apt_install() {
    local apt_get
    if [ "$(id -u)" -eq 0 ]; then
        apt_get=(apt-get)
    elif command -v sudo >/dev/null 2>&1; then
        apt_get=(sudo -E apt-get)
    else
        echo "error: need root or sudo to install $*" >&2
        exit 1
    fi
    "${apt_get[@]}" update -qq </dev/null
    "${apt_get[@]}" install -y -qq --no-install-recommends "$@" </dev/null
}

# Debian's own interpreter refuses pip installs outside a virtual environment;
# these scripts run on throwaway build machines, so they install anyway.
allow_pip_install() {
    if [ "$("$PYTHON" -c 'import sys; print(sys.prefix == sys.base_prefix)')" = True ] &&
        [ -f "$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("stdlib"))')/EXTERNALLY-MANAGED" ]; then
        export PIP_BREAK_SYSTEM_PACKAGES=1
    fi
}
