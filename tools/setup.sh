# Shared by the project's scripts: installs the Debian packages the build and
# tests need, once, and picks the interpreter.
DEBIAN_PACKAGES="cmake ninja-build g++ libssl-dev libgtest-dev musl-tools binutils clang-format"

install_debian_packages() {
    local missing=()
    for package in $DEBIAN_PACKAGES "$@"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing Debian packages: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

PYTHON="${PYTHON:-python3}"
