# Sourced by the build and test scripts: installs Debian packages that are
# missing, when it can (as root), and says loudly when it cannot.

packages_updated=no

# ensure_packages PACKAGE...: installs those not yet installed.
ensure_packages() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
        echo "warning: missing packages, install them yourself: ${missing[*]}" >&2
        return 1
    fi
    if [ "$packages_updated" = no ]; then
        apt-get update -q >&2
        packages_updated=yes
    fi
    echo "installing: ${missing[*]}" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
}
