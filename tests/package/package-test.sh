#!/bin/sh
# The installer package as an administrator uses it: its tables read back
# with msiinfo, then under Wine, in a fresh 64-bit prefix that holds a policy
# value of the administrator's, a silent install, a second install of the
# same package and of a rebuild of it (with EVENTLOG=1), the program started
# at log-on from the Run value, an upgrade by a newer package, a refused
# downgrade and a silent uninstall; then an install with AUTOSTART=0 and the
# upgrades that keep and change that choice; the upgrade of a package that
# kept EVENTLOG as a policy value; and the other architecture's package
# installed before and after this one.
#   usage: package-test.sh SOURCE_DIR ARCH PACKAGE PROGRAM VERSION WORK_DIR
#                          MAKE_CARD STORE_LIST TRAY_CONTROL [DOUBLE_DLL]
# ARCH is x86 or x64, PROGRAM the VelmoMon.exe in PACKAGE, VERSION its
# four-field version. DOUBLE_DLL is the PC/SC double built as winscard.dll
# for ARCH; without it, or on a host that cannot run ARCH's programs, the
# start from the Run value is left out, and the run says so.
set -u
source_dir=$1 arch=$2 package=$3 program=$4 version=$5 work=$6 make_card=$7 store_list=$8 tray_control=$9
double=${10:-}

wine=/usr/lib/wine/wine64
export WINESERVER=/usr/lib/wine/wineserver64
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all
# No menu entries of the host's user for the shortcuts made in the prefix.
export WINEDLLOVERRIDES='mscoree,mshtml,winemenubuilder.exe='

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
not() { ! "$@"; }
check() { # check DESCRIPTION COMMAND...
    what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}

# Windows programs run with their output in a file: Wine's background
# processes inherit pipes and would hold a reader's pipe open. They keep the
# file too, so each command writes a new one.
run() {
    rm -f "$work/out"
    "$wine" "$@" >"$work/out" 2>&1 </dev/null
    status=$?
    tr -d '\r' <"$work/out" >"$work/out.txt"
    return $status
}
windows_path() { echo "Z:$1" | tr / '\\'; }

xvfb=
stop() {
    "$WINESERVER" -k >/dev/null 2>&1
    [ -z "$xvfb" ] || { kill "$xvfb" 2>/dev/null; rm -f "$work/xvfb.pid"; }
}
trap stop EXIT
trap 'exit 1' INT TERM

[ -x "$wine" ] || { echo "FAIL: $wine is missing (Debian package wine64)"; exit 1; }
for tool in msiinfo wixl; do
    command -v $tool >/dev/null || { echo "FAIL: $tool is missing (scripts/setup installs msitools and wixl)"; exit 1; }
done

if [ "$arch" = x64 ]; then
    program_files='C:\Program Files' unix_program_files="$WINEPREFIX/drive_c/Program Files"
    view=/reg:64 system_dir=system32
    upgrade_code='{8C33AB50-1504-424F-9BCE-351B26E5FDC5}' platform='x64;1033' bitness=256
else
    program_files='C:\Program Files (x86)' unix_program_files="$WINEPREFIX/drive_c/Program Files (x86)"
    view=/reg:32 system_dir=syswow64
    upgrade_code='{B8C88BE0-F6A2-42B8-B056-FB6B3BE536A2}' platform='Intel;1033' bitness=0
fi
folder="$unix_program_files/Zimvor/VelmoMon"
run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
maker_key='HKLM\Software\Zimvor'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
expected_run="\"$program_files\\Zimvor\\VelmoMon\\VelmoMon.exe\""
source_key_path='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\VelmoMon'
policy_key='HKLM\Software\Policies\Velmo\VelmoMon'
preference_key='HKLM\Software\Zimvor\VelmoMon'

"$WINESERVER" -k >/dev/null 2>&1
rm -rf "$work"
mkdir -p "$work"
package=$(cd "$(dirname "$package")" && pwd)/$(basename "$package")

# The package version: A.B.C.D becomes A.B.(C*1000+D).
package_version() {
    echo "$1" | awk -F. '{ printf "%d.%d.%d\n", $1, $2, $3 * 1000 + $4 }'
}
newer_version=$(echo "$version" | awk -F. '{ printf "%d.%d.%d.%d\n", $1, $2, $3, $4 + 1 }')

# --- The package's tables -------------------------------------------------
property() { msiinfo export "$1" Property | tr -d '\r' | awk -F '\t' -v name="$2" '$1 == name { print $2 }'; }
check "manufacturer Zimvor" [ "$(property "$package" Manufacturer)" = Zimvor ]
check "product name VelmoMon" [ "$(property "$package" ProductName)" = VelmoMon ]
check "version $(package_version "$version") for program version $version" \
    [ "$(property "$package" ProductVersion)" = "$(package_version "$version")" ]
check "upgrade code $upgrade_code" [ "$(property "$package" UpgradeCode)" = "$upgrade_code" ]
check "per-machine install" [ "$(property "$package" ALLUSERS)" = 1 ]
check "the icon in Add/Remove Programs" [ "$(property "$package" ARPPRODUCTICON)" = VelmoMon.ico ]
# Exporting the Icon table writes the icon into Icon/ beside the caller.
check "the icon in the Icon table" sh -c "cd '$work' && msiinfo export '$package' Icon | grep -q '^VelmoMon.ico'"
check "platform $platform" sh -c "msiinfo suminfo '$package' | grep -qx 'Template: $platform'"
components=$(msiinfo export "$package" Component | tail -n +4 | awk -F '\t' '{ print $1, $3, int($4 / 256) % 2 * 256, $5 }' | LC_ALL=C sort | tr '\n' ';')
check "components: the events' preference, the event source, the maker's folder, the program, the Run value unless AUTOSTART is 0, the Start menu ($components)" \
    [ "$components" = "EventLogPreference INSTALLFOLDER $bitness ;EventSource INSTALLFOLDER $bitness ;MakerFolder ZimvorFolder $bitness ;Program INSTALLFOLDER $bitness ;RunAtLogOn INSTALLFOLDER $bitness AUTOSTART <> \"0\";StartMenu ProgramMenuFolder $bitness ;" ]
registry=$(msiinfo export "$package" Registry | tail -n +4 | cut -f 2-5 | LC_ALL=C sort | tr '\t\n' '|;')
source_key='SYSTEM\CurrentControlSet\Services\EventLog\Application\VelmoMon\'
check "registry values: the event source's two, the Run value, the events' preference, the AUTOSTART choice, nothing under Software\Policies ($registry)" \
    [ "$registry" = "2|$source_key|EventMessageFile|[#VelmoMon.exe];2|$source_key|TypesSupported|#7;2|Software\Microsoft\Windows\CurrentVersion\Run|VelmoMon|\"[#VelmoMon.exe]\";2|Software\Zimvor\VelmoMon|AutoStart|[AUTOSTART];2|Software\Zimvor\VelmoMon|EventLog|#[EVENTLOG];" ]
shortcut_row=$(msiinfo export "$package" Shortcut | tail -n +4 | cut -f 2,3,5,9,10,12 | tr '\t' '|')
check "a Start-menu shortcut VelmoMon to the program, with its icon ($shortcut_row)" \
    [ "$shortcut_row" = 'ProgramMenuFolder|VelmoMon|[#VelmoMon.exe]|VelmoMon.ico|0|INSTALLFOLDER' ]
for name in AUTOSTART EVENTLOG; do
    check "$name is a secure property" \
        sh -c "echo '$(property "$package" SecureCustomProperties)' | tr ';' '\n' | grep -qx $name"
done

# --- A fresh prefix with its own display ----------------------------------
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb=$!
echo $xvfb >"$work/xvfb.pid"
i=0
while [ ! -s "$work/display" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
export DISPLAY=":$(cat "$work/display")"
"$wine" wineboot --init >"$work/wineboot.log" 2>&1 </dev/null
"$WINESERVER" -w
# One wineserver, and one session, for the whole test. Debian runs the
# server with -p0: it ends with every command, and the next one waits for it
# to go, then starts a session of its own (the registry read back from disk,
# the services started again); a command that reaches the server as it ends
# is dropped, and ends with 0 having done nothing. The session's services
# start here, with a log of their own.
"$WINESERVER" -p
"$wine" cmd /c exit >"$work/session.log" 2>&1 </dev/null

msi=$(windows_path "$package")
newer=$work/newer.msi
run_value() {
    run reg query "$run_key" /v VelmoMon $view || return 1
    sed -n 's/^ *VelmoMon *REG_SZ *//p' "$work/out.txt"
}
registry_data() { # KEY NAME [VIEW]: the value's data, as reg shows it
    run reg query "$1" /v "$2" "${3:-$view}" || return 1
    sed -n "s/^ *$2 *REG_[A-Z_]* *//p" "$work/out.txt"
}
event_source() {
    echo "$(registry_data "$source_key_path" EventMessageFile)|$(registry_data "$source_key_path" TypesSupported)"
}
expected_source="$program_files\\Zimvor\\VelmoMon\\VelmoMon.exe|0x7"
run_value_in() { # VIEW...: whether any of them holds the Run value
    for run_view; do "$wine" reg query "$run_key" /v VelmoMon "$run_view" >/dev/null 2>&1 </dev/null && return 0; done
    return 1
}
no_run_value() { not run_value_in $view; }
# Windows puts a per-machine shortcut in the Start menu of all users
# (ProgramData), Wine's msi in the installing user's.
shortcuts() {
    find "$WINEPREFIX/drive_c/ProgramData" "$WINEPREFIX/drive_c/users" -path '*/Start Menu/Programs/VelmoMon.lnk' 2>/dev/null
}
no_shortcut() { [ -z "$(shortcuts)" ]; }
# One shortcut, naming the program and the icon (partly in UTF-16, hence
# the NULs taken out).
shortcut_to_program() {
    [ "$(shortcuts | grep -c .)" -eq 1 ] || return 1
    tr -d '\000' <"$(shortcuts)" >"$work/shortcut.txt"
    grep -aqF "$program_files\\Zimvor\\VelmoMon\\VelmoMon.exe" "$work/shortcut.txt" &&
        grep -aqF 'VelmoMon.ico' "$work/shortcut.txt"
}
products() { # the installed products named VelmoMon, by product code, of either architecture
    for products_view in /reg:64 /reg:32; do
        run reg query "$uninstall_key" /s $products_view
        awk '/^HKEY/ { key = $0 } /DisplayName +REG_SZ +VelmoMon$/ { n = split(key, p, "\\"); print p[n] }' "$work/out.txt"
    done | sort -u
}
msiexec() {
    run msiexec "$@" /qn
}
# A Windows exit code reaches a Unix caller as its low 8 bits.
exit_code() { [ "$status" -eq $(($1 % 256)) ]; }

# --- Install ---------------------------------------------------------------
# The administrator's policy value, which no package touches: a fresh
# install keeps it apart from its preference.
policy=1
run reg add "$policy_key" /v EventLog /t REG_DWORD /d $policy /f /reg:64
policy_kept() { [ "$(registry_data "$policy_key" EventLog /reg:64)" = 0x$policy ]; }
msiexec /i "$msi"
check "silent install ends with 0 (got $status)" [ $status -eq 0 ]
check "the program in $program_files\\Zimvor\\VelmoMon" cmp -s "$folder/VelmoMon.exe" "$program"
check "the Run value is $expected_run (got $(run_value))" [ "$(run_value)" = "$expected_run" ]
check "the Start-menu shortcut VelmoMon to the program, with its icon" shortcut_to_program
first=$(products)
check "one product in Add/Remove Programs ($first)" [ "$(echo "$first" | grep -c .)" -eq 1 ]
check "the event source names the program, types 7 ($(event_source))" [ "$(event_source)" = "$expected_source" ]
check "without EVENTLOG the preference is 0, the policy's 1 not taken over" [ "$(registry_data "$preference_key" EventLog)" = 0x0 ]
check "and the administrator's policy value is kept" policy_kept
run reg query 'HKLM\Software\Classes\Installer\Products' /s
icon=$(sed -n 's/^ *ProductIcon *REG_SZ *//p' "$work/out.txt" | head -1)
check "its icon is registered ($icon)" [ -n "$icon" ]

msiexec /i "$msi"
check "installing the same package again ends with 0 (got $status)" [ $status -eq 0 ]
check "and changes nothing" sh -c "[ '$(products)' = '$first' ] && cmp -s '$folder/VelmoMon.exe' '$program'"

# A rebuild of the same version is a package of its own: it replaces the
# installed one. The administrator's policy now turns the events off.
policy=0
run reg add "$policy_key" /v EventLog /t REG_DWORD /d $policy /f /reg:64
build_package() { # VERSION PROGRAM OUTPUT [ARCH]
    cmake -DARCH="${4:-$arch}" -DVERSION="$1" -DPROGRAM="$2" -DOUTPUT="$3" \
        -P "$source_dir/cmake/BuildPackage.cmake" >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
}
build_package "$version" "$program" "$work/rebuilt.msi"
msiexec /i "$(windows_path "$work/rebuilt.msi")" EVENTLOG=1
check "installing a rebuild of $version with EVENTLOG=1 ends with 0 (got $status)" [ $status -eq 0 ]
check "the preference EventLog is 1 ($(registry_data "$preference_key" EventLog))" \
    [ "$(registry_data "$preference_key" EventLog)" = 0x1 ]
check "and the administrator's policy value is kept" policy_kept
rebuilt=$(products)
check "one product left, the rebuild's ($rebuilt)" \
    sh -c "[ \"\$(echo '$rebuilt' | grep -c .)\" -eq 1 ] && [ '$rebuilt' != '$first' ]"
check "the same program in place" cmp -s "$folder/VelmoMon.exe" "$program"

# --- Log-on: the program started from the Run value ------------------------
# Wine's notification area, without a desktop, is a window of its own with
# one 20 by 20 slot per icon: the first slot is blank until an icon is in it.
icon_shown() {
    colours=$(xwd -silent -name "Wine System Tray" 2>/dev/null | convert xwd:- -crop 20x20+0+0 -format '%k' info: 2>/dev/null)
    [ "${colours:-0}" -gt 2 ]
}
bound_certificates() {
    run "$store_list" --tsv
    [ "$(awk -F '\t' '$3 == "VelmoCSP"' "$work/out.txt" | wc -l)" -eq "$1" ]
}
# One generous limit for every wait on the program: a fresh prefix on a
# busy machine starts slowly.
wait_limit=120
eventually() { # for up to $wait_limit seconds
    i=0
    until "$@"; do
        i=$((i + 1))
        [ $i -lt $((wait_limit * 4)) ] || return 1
        sleep 0.25
    done
}
started=no
archs=$("$source_dir/scripts/windows-archs")
if ! echo "$archs" | sed -n 1p | grep -qw "$arch"; then
    echo "LEFT OUT: starting the program from the Run value: $arch programs are not run here ($(echo "$archs" | sed -n 2p))"
elif [ -z "$double" ] || [ ! -f "$double" ]; then
    echo "LEFT OUT: starting the program from the Run value: this build has no $arch PC/SC double (winscard.dll)"
elif ! run "$make_card" "$(windows_path "$work/card.txt")"; then
    echo "LEFT OUT: starting the program from the Run value: $arch programs do not run on this host ($(head -c 200 "$work/out.txt"))"
else
    started=yes
    check "no icon shows before the program starts" not icon_shown
    # The double stands in for the system's winscard.dll: the installed
    # folder stays as the package made it.
    system_winscard="$WINEPREFIX/drive_c/windows/$system_dir/winscard.dll"
    mv "$system_winscard" "$work/winscard.dll.wine"
    cp "$double" "$system_winscard"
    printf 'reader Lector 0\ncard 0 %s\n' "$(windows_path "$work/card.txt")" >"$work/pcsc.txt"
    # wineboot plays a session start: it runs the commands of the Run values.
    # Wine keeps no event log: the eventlog channel shows what is written.
    export FAKE_PCSC_CONFIG="$(windows_path "$work/pcsc.txt")" WINEDLLOVERRIDES='winscard=n,b;mscoree,mshtml='
    WINEDEBUG=-all,+eventlog "$wine" wineboot >"$work/logon.out" 2>&1 </dev/null
    check "the program answers" run "$tray_control" --wait "$wait_limit" ping
    check "its icon shows in the notification area" eventually icon_shown
    check "the card's two certificates are registered, bound to VelmoCSP" eventually bound_certificates 2
    check "the program ends through its menu and takes its icon out" run "$tray_control" --wait "$wait_limit" close
    check "it wrote no events: the policy's 0 overrides the preference's 1" not grep -q eventlog:ReportEvent "$work/logon.out"
    run reg delete "$policy_key" /v EventLog /f /reg:64
    WINEDEBUG=-all,+eventlog "$wine" "$program_files\\Zimvor\\VelmoMon\\VelmoMon.exe" >"$work/started.out" 2>&1 </dev/null &
    started_program=$!
    check "without the policy, the preference turns its events on" eventually grep -q eventlog:ReportEvent "$work/started.out"
    run "$tray_control" --wait "$wait_limit" close
    wait $started_program
    run reg add "$policy_key" /v EventLog /t REG_DWORD /d 0 /f /reg:64
    export WINEDLLOVERRIDES='mscoree,mshtml,winemenubuilder.exe='
    rm -f "$system_winscard"
    mv "$work/winscard.dll.wine" "$system_winscard"
fi

# --- Upgrade and downgrade --------------------------------------------------
# The newer program differs from the installed one by a trailing mark.
cp "$program" "$work/VelmoMon.exe"
echo "newer build" >>"$work/VelmoMon.exe"
build_package "$newer_version" "$work/VelmoMon.exe" "$newer"
msiexec /i "$(windows_path "$newer")"
check "installing $newer_version over $version ends with 0 (got $status)" [ $status -eq 0 ]
second=$(products)
check "one product left, the newer one ($second)" sh -c "[ \"\$(echo '$second' | grep -c .)\" -eq 1 ] && [ '$second' != '$rebuilt' ]"
check "the newer program in place" cmp -s "$folder/VelmoMon.exe" "$work/VelmoMon.exe"
check "the Run value is unchanged" [ "$(run_value)" = "$expected_run" ]
check "the preference is kept by the upgrade, the policy's 0 not taken over" [ "$(registry_data "$preference_key" EventLog)" = 0x1 ]
check "and so is the administrator's policy value" policy_kept
check "the event source is unchanged" [ "$(event_source)" = "$expected_source" ]

msiexec /i "$msi"
check "the older package is refused afterwards (1603, low 8 bits $status)" exit_code 1603
check "and leaves the newer one" sh -c "[ '$(products)' = '$second' ] && cmp -s '$folder/VelmoMon.exe' '$work/VelmoMon.exe'"

# --- Uninstall ---------------------------------------------------------------
run "$store_list" --add-unrelated 1
run "$store_list" --tsv
certificates_before=$(grep -c . "$work/out.txt")
msiexec /x "$(windows_path "$newer")"
check "silent uninstall ends with 0 (got $status)" [ $status -eq 0 ]
check "no program file left" [ ! -e "$folder/VelmoMon.exe" ]
check "no folder left" [ ! -e "$unix_program_files/Zimvor" ]
check "no Run value left" no_run_value
check "no shortcut left" no_shortcut
check "no key of the maker left" sh -c "! '$wine' reg query '$maker_key' $view >/dev/null 2>&1 </dev/null"
check "no product left" [ -z "$(products)" ]
check "no event source left" not run reg query "$source_key_path" $view
check "no preference left" not registry_data "$preference_key" EventLog
check "the administrator's policy value is left alone" policy_kept
run "$store_list" --tsv
check "the user's certificates are left alone" [ "$(grep -c . "$work/out.txt")" -eq "$certificates_before" ]

# --- AUTOSTART ----------------------------------------------------------------
msiexec /i "$msi" AUTOSTART=0 EVENTLOG=1
check "installing with AUTOSTART=0 ends with 0 (got $status)" [ $status -eq 0 ]
check "with EVENTLOG=1 it writes the preference" [ "$(registry_data "$preference_key" EventLog)" = 0x1 ]
check "and leaves out the Run value" no_run_value
check "but not the shortcut" shortcut_to_program
msiexec /i "$(windows_path "$newer")"
check "an upgrade without AUTOSTART ends with 0 (got $status)" [ $status -eq 0 ]
check "and keeps the Run value left out" no_run_value
build_package "$newer_version" "$work/VelmoMon.exe" "$work/newer-rebuilt.msi"
msiexec /i "$(windows_path "$work/newer-rebuilt.msi")" AUTOSTART=1 EVENTLOG=0
check "an upgrade with AUTOSTART=1 ends with 0 (got $status)" [ $status -eq 0 ]
check "with EVENTLOG=0 it sets the preference the older package kept to 0" [ "$(registry_data "$preference_key" EventLog)" = 0x0 ]
check "but not the administrator's policy value" policy_kept
check "and adds the Run value (got $(run_value))" [ "$(run_value)" = "$expected_run" ]
msiexec /x "$(windows_path "$work/newer-rebuilt.msi")"
check "uninstalling it ends with 0 (got $status)" [ $status -eq 0 ]
check "and leaves no Run value" no_run_value
check "no shortcut left" no_shortcut
check "no product left" [ -z "$(products)" ]

# --- A package that kept EVENTLOG as a policy value --------------------------
# The packages before the preference, of this version too: this one's
# preference written with EVENTLOG=1 only, as 1, and looked for, under
# Software\Policies instead.
run reg delete "$policy_key" /f /reg:64
build_package "$version" "$program" "$work/policy-writer.msi"
msibuild "$work/policy-writer.msi" \
    -q "UPDATE \`Registry\` SET \`Key\` = '${policy_key#HKLM\\}', \`Value\` = '#1' WHERE \`Component_\` = 'EventLogPreference'" \
    -q "UPDATE \`Component\` SET \`Condition\` = 'EVENTLOG = \"1\"' WHERE \`Component\` = 'EventLogPreference'" \
    -q "UPDATE \`RegLocator\` SET \`Key\` = '${policy_key#HKLM\\}' WHERE \`Signature_\` = 'EventLogPreferenceSearch'"
msiexec /i "$(windows_path "$work/policy-writer.msi")" EVENTLOG=1
check "a package before the preference with EVENTLOG=1 wrote the policy value and no preference" \
    sh -c "[ '$(registry_data "$policy_key" EventLog)' = 0x1 ] && [ -z '$(registry_data "$preference_key" EventLog)' ]"
msiexec /i "$msi"
check "an upgrade of it without EVENTLOG ends with 0 (got $status)" [ $status -eq 0 ]
check "and keeps its choice as the preference" [ "$(registry_data "$preference_key" EventLog)" = 0x1 ]
check "while the older package's removal deleted the policy value it owned" not registry_data "$policy_key" EventLog
msiexec /x "$msi"

# --- The other architecture's package ------------------------------------------
# One VelmoMon per machine: x64 replaces x86, taking over its choices, and x86
# refuses to go where x64 is, as does x64 where a newer x86 is.
build_package "$version" "$program" "$work/x86.msi" x86
build_package "$version" "$program" "$work/x64.msi" x64
build_package "$newer_version" "$program" "$work/newer-x86.msi" x86
one_product() { [ "$(products | grep -c .)" -eq 1 ]; }
msiexec /i "$(windows_path "$work/x86.msi")" AUTOSTART=0 EVENTLOG=1
msiexec /i "$(windows_path "$work/x64.msi")"
check "x64 over x86 ends with 0 (got $status)" [ $status -eq 0 ]
check "and leaves one VelmoMon" one_product
check "without the x86 one's folder" [ ! -e "$WINEPREFIX/drive_c/Program Files (x86)/Zimvor" ]
check "with the x86 package's AUTOSTART=0: no Run value in either view" not run_value_in /reg:64 /reg:32
check "and its EVENTLOG=1, in the 64-bit view only" sh -c "[ '$(registry_data "$preference_key" EventLog /reg:64)' = 0x1 ] && [ -z '$(registry_data "$preference_key" EventLog /reg:32)' ]"
msiexec /i "$(windows_path "$work/x86.msi")"
check "x86 where x64 is installed is refused (1603, low 8 bits $status)" exit_code 1603
check "and leaves one VelmoMon" one_product
msiexec /x "$(windows_path "$work/x64.msi")"
msiexec /i "$(windows_path "$work/newer-x86.msi")"
msiexec /i "$(windows_path "$work/x64.msi")"
check "x64 over a newer x86 is refused (1603, low 8 bits $status)" exit_code 1603
check "and leaves one VelmoMon" one_product
msiexec /x "$(windows_path "$work/newer-x86.msi")"
check "no product left" [ -z "$(products)" ]

echo "$failures failures (the program started from the Run value: $started)"
[ $failures -eq 0 ]
