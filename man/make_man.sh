#!/bin/sh
# Writes a man page from its template and the program's own --help texts,
# so that every option row of the program's tables is on the page.
#   make_man.sh PROGRAM TEMPLATE OUT VERSION DATE
# The template's lines @SYNOPSIS@, @DESCRIPTION@, @OPTIONS@ and @EXIT@ become
# those parts of `PROGRAM --help`; @COMMANDS@ one subsection per command that
# `PROGRAM --help` lists under "commands:", from `PROGRAM COMMAND --help`.
set -eu
program=$1 template=$2 out=$3 version=$4 date=$5
awk_file=$(dirname "$0")/help_to_roff.awk
help=$(mktemp) && trap 'rm -f "$help" "$help.c" "$out.tmp"' EXIT
"$program" --help >"$help"

part() {  # part NAME HELP-FILE
    awk -v part="$1" -f "$awk_file" "$2"
}
synopsis() {  # the usage lines, the program's name in bold
    part synopsis "$1" | awk '{ name = $1; $1 = ""; print ".br"; print ".B " name; sub(/^ /, ""); if ($0 != "") print $0 }' | sed 1d
}
commands() {
    for name in $(awk '/^commands:$/ { on = 1; next } on && /^  [a-z]/ { print $1 } on && !/^  / { on = 0 }' "$help"); do
        "$program" "$name" --help >"$help.c"
        echo ".SS $name"
        synopsis "$help.c"
        echo ".PP"
        part description "$help.c"
        echo ".PP"
        echo "Options:"
        echo ".RS"
        part options "$help.c"
        echo ".RE"
        echo ".PP"
        echo "Exit status:"
        echo ".RS"
        part exit "$help.c"
        echo ".RE"
    done
}

while IFS= read -r line; do
    case $line in
    @SYNOPSIS@) synopsis "$help" ;;
    @DESCRIPTION@) part description "$help" ;;
    @OPTIONS@) part options "$help" ;;
    @EXIT@) part exit "$help" ;;
    @COMMANDS@) commands ;;
    *) printf '%s\n' "$line" | sed -e "s/@VERSION@/$version/g" -e "s/@DATE@/$date/g" ;;
    esac
done <"$template" >"$out.tmp"
mv "$out.tmp" "$out"
