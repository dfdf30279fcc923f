#!/usr/bin/env bash
# A manual page renders without a warning from groff, as lintian renders it, and has a whatis
# entry; with PROGRAM, its OPTIONS and COMMANDS name exactly the options and the commands that
# PROGRAM --help names. Usage: manpage-check.sh PAGE [PROGRAM]
set -u

page=$1
program=${2:-}
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

if ! command -v man >/dev/null || ! command -v lexgrog >/dev/null; then
    echo "SKIP: man and lexgrog are missing (the man-db package)"
    exit 77
fi

[[ -r $page ]] || { echo "FAIL: no page $page"; exit 1; }
for width in 80 120; do
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=$width \
        man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    [[ -z $warnings ]] || fail "$page at $width columns: $warnings"
done
lexgrog "$page" >/dev/null || fail "$page has no whatis entry lexgrog can read"

[[ -n $program ]] || { [[ $failures -eq 0 ]] && exit 0 || exit 1; }

help=$(QT_QPA_PLATFORM=offscreen timeout 30 "$program" --help) || fail "$program --help failed"

# The options in help's first column ("  -h, --help", "  --port <N>"), one a line.
help_options() {
    sed -n '/^Options:/,/^$/p' <<<"$help" | grep -E '^  -' | sed -E 's/^  //; s/  .*//' \
        | grep -oE -- '(^|, )--?[A-Za-z?][A-Za-z0-9-]*' | sed 's/^, //' | sort -u
}

# The command names in the first column of help's "Commands...:" block ("all-on, all-off").
help_commands() {
    sed -n '/^Commands.*:$/,/^[^ ]/p' <<<"$help" | grep -E '^  [a-z]' | sed -E 's/^  //; s/  .*//' \
        | tr ',' '\n' | awk '{ print $1 }' | sort -u
}

# The tags of the .TP paragraphs in the page's section $1, with the roff taken out.
page_tags() {
    awk -v section="$1" '
        /^\.SH / { inside = ($2 == section) ; next }
        inside && tag { print; tag = 0; next }
        inside && /^\.TP/ { tag = 1 }' "$page" \
        | sed -E 's/\\-/-/g; s/\\f[BIRP]//g; s/\\[&%]//g; s/^\.[A-Z]+ //; s/"//g'
}

page_options() {
    page_tags OPTIONS | grep -oE -- '(^|[ ,])--?[A-Za-z?][A-Za-z0-9-]*' | sed -E 's/^[ ,]//' \
        | sort -u
}

page_commands() {
    page_tags COMMANDS | awk '{ for (i = 1; i <= NF; i++) if ($i ~ /^[a-z][a-z-]*$/) print $i }' \
        | sort -u
}

# compare WHAT FROM-HELP FROM-PAGE: the same names on both sides.
compare() {
    local what=$1 help_side=$2 page_side=$3 name
    for name in $(comm -23 <(echo "$help_side") <(echo "$page_side")); do
        fail "$program --help names the $what $name, the page's ${what^^}S do not"
    done
    for name in $(comm -13 <(echo "$help_side") <(echo "$page_side")); do
        fail "the page's ${what^^}S name the $what $name, $program --help does not"
    done
}

options=$(help_options)
[[ -n $options ]] || fail "no options found in $program --help"
compare option "$options" "$(page_options)"
compare command "$(help_commands)" "$(page_commands)"

[[ $failures -eq 0 ]] || exit 1
commands=$(help_commands)
echo "$page: renders cleanly; options: ${options//$'\n'/ }; commands: ${commands//$'\n'/ }"
