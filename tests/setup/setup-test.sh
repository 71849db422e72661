#!/bin/sh
# scripts/setup against a package mirror in mid-sync, played by stand-ins for
# apt-get, dpkg and dpkg-query on PATH: every package but the MISSING one is
# installed, and dpkg's configure, apt's update and its install succeed or
# fail as each case says; "target" installs only with a target release.
#   usage: setup-test.sh SOURCE_DIR WORK_DIR
set -u
source_dir=$1 work=$2
rm -rf "$work"
mkdir -p "$work/bin" "$work/scripts"
cp "$source_dir/scripts/setup" "$work/scripts/"
printf '#!/bin/sh\n' >"$work/scripts/windows-archs"
cat >"$work/bin/dpkg" <<'STUB'
#!/bin/sh
echo "dpkg $*" >>"$WORK/calls"
case "$1" in --print-foreign-architectures) echo i386 ;; --configure) [ "$CONFIGURE" = ok ] ;; esac
STUB
cat >"$work/bin/dpkg-query" <<'STUB'
#!/bin/sh
for package; do :; done
[ "$package" = "$MISSING" ] || printf 'install ok installed'
STUB
cat >"$work/bin/apt-get" <<'STUB'
#!/bin/sh
echo "apt-get $*" >>"$WORK/calls"
case " $* " in
*" update "*) [ "$UPDATE" = ok ] || { echo "E: File has unexpected size. Mirror sync in progress?" >&2; exit 100; } ;;
*" -t "*) [ "$INSTALL" != fails ] ;;
*) [ "$INSTALL" = ok ] ;;
esac
STUB
chmod +x "$work/bin/"* "$work/scripts/"*
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")

failures=0
setup() { # MISSING CONFIGURE UPDATE INSTALL: its output in $out, the calls it made in $calls
    : >"$work/calls"
    out=$(env PATH="$work/bin:$PATH" WORK="$work" MISSING=$1 CONFIGURE=$2 UPDATE=$3 INSTALL=$4 \
        sh "$work/scripts/setup" 2>&1)
    status=$?
    calls=$(grep -v foreign "$work/calls")
}
check() { # DESCRIPTION CONDITION
    if eval "$2"; then echo "ok: $1"; else
        echo "FAIL: $1 (exit $status)"
        printf '%s\n' "$out" "$calls" | sed 's/^/  | /'
        failures=$((failures + 1))
    fi
}
said() { echo "$out" | grep -qF -- "$1"; }
called() { [ "$(echo "$calls" | grep -cF -- "$1")" -eq "$2" ]; }

setup none ok ok fails
check "nothing missing: not a word, no call to dpkg or apt" '[ $status -eq 0 ] && [ -z "$out$calls" ]'
setup wixl ok fails ok
check "dpkg finishes an earlier run first, then apt updates with retries" \
    '[ "$(echo "$calls" | head -2 | tr "\n" "|")" = "dpkg --configure -a|apt-get -o Acquire::Retries=3 update -q|" ]'
check "an index that cannot be read is passed over and the install tried once" \
    '[ $status -eq 0 ] && said "indexes could not be read" && called " install " 1'
setup wixl ok ok target
check "a failed install is tried again from $codename's own archive, which says what was skipped" \
    '[ $status -eq 0 ] && called "-t $codename wixl" 1 && said "security updates were skipped for: wixl"'
setup wixl ok ok fails
check "when that fails too it stops, saying what failed and what to do" \
    '[ $status -ne 0 ] && said "could not install: wixl" && said "run scripts/setup again"'
setup wixl fails ok ok
check "when dpkg cannot finish an earlier run it stops before apt" \
    '[ $status -ne 0 ] && said "dpkg --configure -a failed" && called apt-get 0'

echo "$failures failures"
[ $failures -eq 0 ]
