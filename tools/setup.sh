# Shared by the project's scripts: installs the Debian packages a script
# needs, once, and makes the project's own Python environment (.venv in the
# checkout), so nothing is ever installed into the system's interpreter.

# What building the package needs: the main job installs only these.
BUILD_PACKAGES="cmake ninja-build g++ libssl-dev"
# What the C++ suites add: GoogleTest, musl for the maths oracle, objdump
# for the no-fused-multiply-add check.
TEST_PACKAGES="libgtest-dev musl-tools binutils"

# Installs the named Debian packages that are missing.
install_debian_packages() {
    local missing=()
    for package in "$@"; do
        # dpkg -s refuses a name installed for two architectures (libssl-dev
        # once the ARM one is there); dpkg-query lists each instance.
        dpkg-query -W -f='${db:Status-Status}\n' "$package" 2>/dev/null | grep -qx installed ||
            missing+=("$package")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing Debian packages: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

# What the full gate needs besides the daily loop: the pinned layout checker,
# a second compiler, a 64-bit ARM cross toolchain with its own OpenSSL run
# under qemu-user, the debug interpreter and valgrind. Only the gate adds a
# foreign architecture to the machine.
install_cross_packages() {
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
        $sudo dpkg --add-architecture arm64
        $sudo apt-get update -qq
    fi
    install_debian_packages clang-format clang-14 g++-aarch64-linux-gnu qemu-user libssl-dev:arm64 \
        python3.11-dbg valgrind libclang-rt-14-dev
}

# Sets PYTHON to the interpreter of the project's environment, creating it
# from the system's python3 (or $PYTHON) on first use. Its pip is used as it
# comes: the scripts never upgrade it.
use_project_environment() {
    local base="${PYTHON:-python3}"
    local venv="$PWD/.venv"
    if [ ! -x "$venv/bin/python" ]; then
        if ! "$base" -m venv "$venv" >/dev/null 2>&1; then
            # Debian's interpreter keeps venv's pip in a package of its own.
            rm -rf "$venv"
            install_debian_packages python3-venv
            "$base" -m venv "$venv"
        fi
    fi
    PYTHON="$venv/bin/python"
}

# Installs the project, with the extras named (e.g. "cli"), into the project's
# environment, unless the copy there was built from these very sources: a
# stamp of what the package is built from is kept in .venv, so a run with
# nothing changed starts at once instead of rebuilding.
install_project() {
    local extras="$1"
    local stamp="$PWD/.venv/.corvane-installed-$extras"
    local sources
    sources=$(find CMakeLists.txt pyproject.toml README.md LICENSE THIRD_PARTY.md cmake src python \
        -type f -not -name '*.pyc' -print0 | LC_ALL=C sort -z | xargs -0 sha256sum | sha256sum)
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$sources" ] &&
        "$PYTHON" -c "import corvane" >/dev/null 2>&1; then
        return
    fi
    echo "Installing corvane[$extras] into .venv (a few minutes the first time)"
    "$PYTHON" -m pip install --quiet ".[$extras]"
    echo "$sources" >"$stamp"
}
