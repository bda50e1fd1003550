#!/bin/sh
# Fails when an option that `vantro-server --help` lists is missing from the manual page.
# Usage: check-manual.sh SERVER MANUAL
set -eu
server=$1
manual=$2
missing=0
for option in $("$server" --help | sed -n 's/^  --\([a-z-]*\).*/\1/p'); do
    # The page writes every dash of an option as "\-".
    escaped=$(printf '%s' "$option" | sed 's/-/\\\\-/g')
    if ! grep -q "^\.BI\{0,1\} \\\\-\\\\-$escaped\( \|$\)" "$manual"; then
        echo "the manual page lacks --$option"
        missing=1
    fi
done
exit $missing
