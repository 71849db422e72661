#!/bin/sh
# The Group Policy templates: well-formed XML, and every string the ADMX file
# names found once in each language file.
#   usage: templates-test.sh POLICY_DEFINITIONS_DIR
set -u
dir=$1 failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
command -v xmllint >/dev/null || { echo "FAIL: xmllint is missing (scripts/setup installs libxml2-utils)"; exit 1; }
for file in VelmoMon.admx en-US/VelmoMon.adml es-ES/VelmoMon.adml; do
    if xmllint --noout "$dir/$file"; then echo "ok: $file is well-formed"; else fail "$file is not well-formed"; fi
done
references=$(grep -o '\$(string\.[A-Za-z_]*)' "$dir/VelmoMon.admx" | sed 's/^..string\.//; s/)$//' | sort -u)
[ -n "$references" ] || fail "VelmoMon.admx names no strings"
for language in en-US es-ES; do
    for id in $references; do
        found=$(xmllint --xpath "count(//*[local-name()='string'][@id='$id'])" "$dir/$language/VelmoMon.adml")
        [ "$found" = 1 ] || fail "$language/VelmoMon.adml holds the string $id $found times"
    done
    echo "ok: $language/VelmoMon.adml holds the strings named:" $references
done
echo "$failures failures"
[ $failures -eq 0 ]
