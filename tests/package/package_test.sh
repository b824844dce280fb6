#!/bin/bash
# package_test.sh BUILD VERSION: builds the Debian package from BUILD into a scratch folder,
# unpacks it and checks what a user gets: every program answers --version with VERSION, the
# installed programs find the installed mdminst, systemd accepts the unit, and every manual
# page renders without a warning.
set -euo pipefail
build=$1 version=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; exit 1; }
deb=$(echo "$scratch"/out/*.deb)
root=$scratch/root
dpkg-deb -x "$deb" "$root"
export MDM_ROOT=$scratch/mdm
unset MDM_DEBUG DISPLAY

# Each program where the package puts it, its first line of --version "PROGRAM VERSION".
for program in usr/bin/mdmflash usr/bin/mdmd usr/bin/mdmsim usr/bin/mdmreg usr/bin/mdmlinks \
  usr/libexec/mdm-host/mdminst; do
  name=$(basename "$program")
  if [ ! -x "$root/$program" ]; then
    fail "$program is not in the package"
    continue
  fi
  first=$("$root/$program" --version 2>&1 | head -n 1) || true
  [ "$first" = "$name $version" ] || fail "$program --version says '$first', not '$name $version'"
done

# The installed mdmsim starts the installed mdminst, as the installed mdmd does, at the start
# of a modem: it lies in libexec, not beside them.
MDM_ROOT=$scratch/plug "$root/usr/bin/mdmsim" plug --serial 0000A1B2C3D4 >"$scratch/plug.log" 2>&1 ||
  fail "mdmsim plug from the package: $(tail -n 1 "$scratch/plug.log")"
grep -q 0000A1B2C3D4 "$scratch/plug/mdminst.log" 2>/dev/null ||
  fail "the packaged mdmsim did not start the packaged mdminst"

# The unit as packaged, its ExecStart pointed into the unpacked package (systemd checks that
# the program is there) and its Documentation= page looked up there.
mkdir "$scratch/unit"
sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$root/usr/lib/systemd/system/mdmd.service" \
  >"$scratch/unit/mdmd.service"
if ! MANPATH=$root/usr/share/man systemd-analyze verify "$scratch/unit/mdmd.service" \
  >"$scratch/verify.log" 2>&1 || [ -s "$scratch/verify.log" ]; then
  fail "systemd-analyze verify: $(cat "$scratch/verify.log")"
fi

# One page per program, each rendered by man without a warning.
for page in man1/mdmflash.1 man1/mdmsim.1 man1/mdmreg.1 man1/mdmlinks.1 man1/mdminst.1 \
  man8/mdmd.8; do
  file=$root/usr/share/man/$page.gz
  if [ ! -f "$file" ]; then
    fail "no manual page $page"
    continue
  fi
  warnings=$(MANWIDTH=80 man -l --warnings -E UTF-8 "$file" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man $page: $warnings"
done

[ "$failures" -eq 0 ] && echo "package: $(basename "$deb") checked"
exit $((failures > 0))
