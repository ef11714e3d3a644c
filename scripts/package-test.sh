#!/usr/bin/env bash
# The Debian package as users get it (a stage of scripts/test.sh; run as root, and alone with
# LinuxCNC: it installs a realtime component):
#   builds it (scripts/package.sh) and checks it with lintian (no errors);
#   installs it with apt-get and checks the programs' versions and the plug-in they load;
#   copies the installed simulator example to a folder of its own and engraves there with
#   LinuxCNC as the user LinuxCNC runs as, with the installed programs alone (PATH without any
#   build), and holds what fired against the installed host-sim's trace of the same engraving;
#   purges it and checks that none of its files is left.
# The machine is left as found: the components in LinuxCNC's module folder, which
# scripts/setup.sh installs from the development build (owned by no package, so the package
# overwrites one and its purge removes it), are saved first and put back, also on failure.
set -euo pipefail
cd "$(dirname "$0")/.."
user=${LCNC_SIM_USER:-lcnc}
modules=/usr/lib/linuxcnc/modules
# The engraving: small, so that LinuxCNC's part takes seconds (30 lines of 5000 steps).
settings=(--width 5 --height 3 --stepover 0.1 --feed 1800)
# The simulator example's machine: [JOINT_0]SCALE and [JOINT_1]SCALE.
machine=(--steps-per-unit-x 1000 --steps-per-unit-y 1000)

fail() {
  echo "package-test: $*" >&2
  exit 1
}
[ "$(id -u)" -eq 0 ] || fail "run as root: it installs and purges the package"
installed() { dpkg-query -W -f='${Status}' engraving 2>/dev/null | grep -q "install ok installed"; }
if installed; then
  fail "the package engraving is installed already; this test installs and purges its own build"
fi

scripts/package.sh
version=$(dpkg-parsechangelog -S Version)
deb=dist/engraving_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "$deb was not built"

export DEBIAN_FRONTEND=noninteractive
dpkg-query -W -f='${Status}' lintian 2>/dev/null | grep -q "install ok installed" ||
  apt-get install -y -qq --no-install-recommends lintian
echo "package-test: lintian $deb"
lintian_status=0
lintian_said=$(lintian --fail-on error "$deb" 2>&1) || lintian_status=$?
grep -v "^running with root privileges" <<<"$lintian_said" || true
((lintian_status == 0)) || fail "lintian reports errors"

saved=$(mktemp -d /tmp/engraving-modules.XXXXXX)
run=$(mktemp -d /tmp/engraving-installed.XXXXXX)
for name in engrave_trigger fire_watch; do
  [ -e "$modules/$name.so" ] && cp -p "$modules/$name.so" "$saved/"
done
restore() {
  local status=$?
  if installed; then apt-get purge -y -qq engraving >/dev/null || status=1; fi
  local module
  for module in "$saved"/*.so; do
    [ -e "$module" ] && install -m 644 "$module" "$modules/"
  done
  rm -rf "$saved" "$run"
  exit "$status"
}
trap restore EXIT

echo "package-test: apt-get install ./$deb"
apt-get install -y -qq "./$deb" >"$run/apt.log" 2>&1 || { cat "$run/apt.log" >&2; fail "install"; }
dpkg-query -L engraving >"$saved/files"

# The installed programs alone: a PATH without any build folder.
clean_path=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin
as_user() {
  runuser -u "$user" -- env -i HOME="$(getent passwd "$user" | cut -d: -f6)" USER="$user" \
    LOGNAME="$user" PATH="$clean_path" "$@"
}
scripts/lcnc-user.sh "$user"
for program in host-sim engrave-lcnc; do
  found=$(as_user sh -c 'command -v "$1"' _ "$program")
  [ "$found" = "/usr/bin/$program" ] || fail "$program is $found, not the package's"
  said=$(as_user "$program" --version)
  [ "$said" = "$program $version" ] || fail "$program --version says \"$said\", not $version"
done
plugin=$(dpkg-query -L engraving | grep '/engraving/Engraving.so$')
as_user host-sim run | grep -qxF "loaded: $plugin" || fail "host-sim does not load $plugin"
for page in host-sim.1 engrave-lcnc.1 engrave_trigger.9; do
  man -w "${page%.*}" >/dev/null 2>&1 || fail "no man page $page"
done

# The example, copied as a user copies it, LinuxCNC started in it as the user.
cp -r /usr/share/doc/engraving/examples/sim "$run/sim"
printf '%s\n' engrave "${settings[@]}" --fired "$run/fired.txt" >"$run/args"
chown -R "$user:" "$run"
echo "package-test: linuxcnc engrave-sim.ini in a copy of the installed example"
started=$(date +%s)
if ! as_user ENGRAVE_LCNC_ARGS_FILE="$run/args" \
  bash -c 'cd "$1" && exec linuxcnc -r engrave-sim.ini' _ "$run/sim" </dev/null \
  >"$run/linuxcnc.log" 2>&1; then
  cat "$run/linuxcnc.log" >&2
  fail "the engraving through LinuxCNC failed"
fi
grep -E "^engraved|^progress: .*lines, .* left$" "$run/linuxcnc.log" | tail -n 2 || true
echo "package-test: LinuxCNC engraved in $(($(date +%s) - started)) s"
as_user host-sim engrave "${settings[@]}" "${machine[@]}" --trace "$run/host-sim.trace" \
  >/dev/null
grep -P '^bits\t' "$run/host-sim.trace" >"$run/expected.txt" || true
lines=$(wc -l <"$run/expected.txt")
fired=$(grep -cP '^bits\t\d+\t.' "$run/expected.txt" || true)
((lines > 0 && fired > 0)) || fail "host-sim traced no raster line that fires"
if ! diff -u "$run/expected.txt" "$run/fired.txt" >"$run/diff.txt"; then
  head -n 20 "$run/diff.txt" >&2
  fail "LinuxCNC fired other steps than host-sim traced"
fi
echo "package-test: $lines raster lines fired exactly as the installed host-sim traced them"

echo "package-test: apt-get purge engraving"
apt-get purge -y -qq engraving >"$run/apt.log" 2>&1 || { cat "$run/apt.log" >&2; fail "purge"; }
left=0
while IFS= read -r path; do
  if [ -f "$path" ] || [ -L "$path" ]; then
    echo "package-test: left after the purge: $path" >&2
    left=1
  fi
done <"$saved/files"
((left == 0)) || fail "the purge left files of the package"
echo "package-test: $(wc -l <"$saved/files") paths installed, none left after the purge"
