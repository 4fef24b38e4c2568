#!/bin/sh
# Fails when an option that PROGRAM's --help prints (or a command's own --help, for each
# command the usage names) is missing from the manual page PAGE.
# Usage: check-man-options.sh PROGRAM PAGE
set -u
program=$1
page=$2
name=$(basename "$program")

# The page's text with the roff escapes that stand inside option names taken out.
text=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\&//g' "$page")

options_of() {
    # long and short options, not words with a dash inside them ("0-1", "fixed-block")
    "$@" 2>&1 | grep -oE -- '(^|[^A-Za-z0-9-])--?[A-Za-z][A-Za-z0-9-]*' | sed -E 's/^[^-]+//'
}

help=$("$program" --help) || { echo "$name --help failed"; exit 1; }
[ -n "$help" ] || { echo "$name --help printed nothing"; exit 1; }
# Commands: the first word after the program's name on the usage lines.
commands=$(printf '%s\n' "$help" | sed -nE "s/^ *(Usage: *)?$name +([a-z][a-z-]*).*/\\2/p" | sort -u)

found=$(options_of "$program" --help)
for command in $commands; do
    printf '%s\n' "$text" | grep -qwF -- "$command" || { echo "command '$command' is not in $page"; missing=1; }
    found="$found
$(options_of "$program" "$command" --help)"
done

missing=${missing:-0}
checked=0
for option in $(printf '%s\n' "$found" | sort -u); do
    checked=$((checked + 1))
    if ! printf '%s\n' "$text" | grep -qE -- "(^|[^A-Za-z0-9-])$option([^A-Za-z0-9-]|\$)"; then
        echo "option $option of '$name --help' is not in $page"
        missing=1
    fi
done
[ "$checked" -gt 0 ] || { echo "no option found in '$name --help'"; exit 1; }
echo "$name: $checked options checked against $(basename "$page")"
exit "$missing"
