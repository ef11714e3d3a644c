#!/usr/bin/env bash
# Builds the Debian package "engraving" into dist/ (engraving_VERSION_ARCH.deb, its debug
# symbols, .buildinfo and .changes), the version from debian/changelog. Installs what the build
# needs when missing. The package build runs no tests (scripts/test.sh does).
# Usage: scripts/package.sh            then: apt-get install ./dist/engraving_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD
started=$(date +%s)

# The tools, then the Build-Depends of debian/control.
tools=(dpkg-dev debhelper)
missing=()
for p in "${tools[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
need_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "package: run as root to install $1" >&2
    exit 1
  fi
}
export DEBIAN_FRONTEND=noninteractive
if ((${#missing[@]})); then
  need_root "${missing[*]}"
  echo "package: installing ${missing[*]}"
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
if ! dpkg-checkbuilddeps >/dev/null 2>&1; then
  need_root "the build dependencies"
  echo "package: installing the build dependencies of debian/control"
  apt-get update -qq
  # Without recommends: LinuxCNC's would bring hundreds of packages the build does not need.
  apt-get build-dep -y -qq --no-install-recommends "$source"
fi

version=$(dpkg-parsechangelog -S Version)
arch=$(dpkg --print-architecture)

# dpkg-buildpackage writes beside the source folder and into it (debian/, the build folder):
# build in a copy, so the checkout and its parent stay as they are.
work=$(mktemp -d /tmp/engraving-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
copy=$work/engraving-$version
mkdir "$copy"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  # Tracked and new files, as they are now; not what .gitignore names (builds, dist/).
  git ls-files -z --cached --others --exclude-standard |
    tar --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -C "$copy" -xf -
else
  tar --exclude='./build*' --exclude=./dist --exclude=./out -cf - . | tar -C "$copy" -xf -
fi

echo "package: building engraving $version ($arch)"
(cd "$copy" && DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" \
  dpkg-buildpackage -b -us -uc) >"$work/build.log" 2>&1 || {
  tail -n 60 "$work/build.log" >&2
  echo "package: dpkg-buildpackage failed" >&2
  exit 1
}

mkdir -p dist
rm -f dist/engraving_* dist/engraving-dbgsym_*
mv "$work"/engraving*_"$version"_* dist/
deb=dist/engraving_${version}_$arch.deb
echo "package: $deb, $(du -k "$deb" | cut -f1) KB, built in $(($(date +%s) - started)) s"
