#!/usr/bin/env bash
# Installs every Debian package the project needs (only those missing), then configures and
# builds. Usage: scripts/setup.sh [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake pkg-config git
  libjpeg62-turbo-dev libpng-dev zlib1g-dev libxml2-dev
  libfltk1.3-dev libwmf-dev fonts-urw-base35
  googletest libgtest-dev libbenchmark-dev
  xvfb xauth imagemagick netpbm
  clang libclang-rt-14-dev
)
# Installs those of the named packages that are missing; extra apt-get options come first,
# ending with "--".
updated=0
install_missing() {
  local options=()
  while [ "$1" != -- ]; do
    options+=("$1")
    shift
  done
  shift
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  echo "setup: installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: run as root to install packages" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  ((updated)) || apt-get update -qq
  updated=1
  apt-get install -y -qq "${options[@]}" "${missing[@]}"
}
install_missing -- "${packages[@]}"

# LinuxCNC and what engrave-lcnc builds against; without recommends apt would bring hundreds
# of packages that the simulator does not need.
lcnc_packages=(linuxcnc-uspace linuxcnc-uspace-dev libboost-dev)
install_missing --no-install-recommends -- "${lcnc_packages[@]}"

build_dir=${1:-build}
shift || true
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"

# The realtime components go where LinuxCNC's loadrt finds them.
# halcompile's output differs from build to build: the source id tells whether the installed
# module was built from this source.
for name in engrave_trigger fire_watch; do
  component="$build_dir/lcnc/$name.so"
  installed=/usr/lib/linuxcnc/modules/$name.so
  source_id="$build_dir/lcnc/$name.source-id"
  if [ -f "$component" ] && ! grep -qaF "$(cat "$source_id")" "$installed" 2>/dev/null; then
    if [ "$(id -u)" -eq 0 ]; then
      install -m 644 "$component" "$installed"
    else
      echo "setup: run as root to install $component into $installed" >&2
    fi
  fi
done
