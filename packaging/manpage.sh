#!/bin/sh
# manpage.sh PROGRAM SECTION INCLUDE OUTPUT VERSION SCRATCH: writes PROGRAM's manual page,
# gzipped, to OUTPUT, from the program's own --help and --version and the hand-written
# INCLUDE. The program runs with a platform root and home in SCRATCH, so that a program that
# acts when started (mdmlinks, mdminst) acts there and nowhere else.
set -eu
program=$1 section=$2 include=$3 output=$4 version=$5 scratch=$6
name=$(basename "$program")

rm -rf "$scratch"
mkdir -p "$scratch/root"

# help2man runs this file with --help and --version. A program that prints nothing for either
# still gets a page (its name and the version of the build), with a warning at build time.
wrapper=$scratch/$name
cat >"$wrapper" <<WRAPPER
#!/bin/sh
out=\$("$program" "\$1" 2>/dev/null) && [ -n "\$out" ] && { printf '%s\n' "\$out"; exit 0; }
echo "manpage.sh: warning: $name \$1 prints nothing: its page is poor" >&2
case "\$1" in
  --version) echo "$name $version" ;;
  *) echo "Usage: $name" ;;
esac
WRAPPER
chmod 755 "$wrapper"

env -u DISPLAY -u MDM_DEBUG MDM_ROOT="$scratch/root" HOME="$scratch" XDG_DATA_HOME="$scratch" \
  help2man --no-info --section="$section" --include="$include" --output="$scratch/page" \
  "$wrapper"
# A list without spaces in a help text (a=1,b=2,c=3 or x|y|z) may break after a comma or bar
# where it would not fit the line.
sed -e "/^[.']/!s/\([,|]\)\([^ ]\)/\1\\\\:\2/g" "$scratch/page" | gzip -9n >"$output"
rm -rf "$scratch"
