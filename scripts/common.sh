# Shared by the project's scripts: package set-up and the build folders.
# Source it; it sets ROOT to the project's top folder.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# What building and testing need (with Qt's image-format plugins, through
# which the program reads the declared size of TIFF and WebP files), and
# what running the window adds.
BUILD_PACKAGES="cmake make g++ pkgconf qt6-base-dev qt6-image-formats-plugins libopencv-dev libheif-dev libjpeg-dev libpng-dev libisal-dev"
RUN_PACKAGES="fonts-wqy-microhei"
# What the install and package checks among the tests use (gio lists the
# applications for a type), and the headless Wayland compositor and Qt's
# Wayland plugin the loading test starts the program on.
TEST_PACKAGES="desktop-file-utils dpkg-dev file lintian appstream git libglib2.0-bin weston qt6-wayland"
# What the benchmarks add: a virtual X server to start the window on, the X
# library the start-up benchmark watches the window with, and feh, the lean
# viewer loads are measured against.
BENCH_PACKAGES="xvfb xauth libxcb1-dev feh"

# Installs whichever of the given Debian packages are missing. Runs
# apt-get update once, and only when something has to be installed. Without
# apt-get (another distribution), or with SIXFOLD_NO_APT=1, it only names
# the packages and leaves the rest to the build.
ensure_packages() {
    if [ "${SIXFOLD_NO_APT:-}" = 1 ] || ! command -v apt-get > /dev/null || ! command -v dpkg-query > /dev/null; then
        echo "Not installing packages; the build needs these (Debian names) or their equivalents: $*"
        return 0
    fi
    local missing=() pkg
    for pkg in "$@"; do
        [[ $(dpkg-query -W -f='${Status}' "$pkg" 2> /dev/null) == *"install ok installed"* ]] \
            || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
}

# The folder and options shared by the tests, the benchmark and the screenshot.
# Its Debian package installs under /usr, with the codecs module in the
# multiarch library folder, as Debian's own packages do. The homepage is a
# placeholder in a reserved domain, so that the metadata checks see one;
# a packager gives the project's own.
# Builds go under build/, or under SIXFOLD_BUILD (a release's own folder
# when scripts/release.sh runs the scripts in another Debian release).
BUILD_ROOT=${SIXFOLD_BUILD:-$ROOT/build}
TEST_BUILD="$BUILD_ROOT/test"
TEST_OPTIONS=(-DCMAKE_BUILD_TYPE=Release -DSIXFOLD_SANITIZE=OFF -DCMAKE_INSTALL_PREFIX=/usr
              -DSIXFOLD_HOMEPAGE=https://sixfold.invalid/)

# Configures a build folder and builds targets in it ("all" for all).
# Arguments: folder, targets (separated by blanks), then CMake options.
build() {
    local dir=$1 targets
    read -r -a targets <<< "$2"
    shift 2
    cmake -S "$ROOT" -B "$dir" "$@"
    cmake --build "$dir" --parallel "$(nproc)" --target "${targets[@]}"
}
