# One part of a program's --help text as man page source. The help text is
# what cmdline::help and the usage functions print: "usage:" lines (with
# indented continuation lines), a description, "options:" and one option per
# line (its name and value in the first 29 columns, the help after them,
# further help lines indented to column 29), then closing paragraphs, the
# last beginning "Exit status:".
#   awk -v part=synopsis|description|options|exit -f help_to_roff.awk HELP
# synopsis: the usage lines; description: the text before the options;
# options: one .TP entry per option, then the paragraphs after the options
# other than the exit statuses; exit: the "Exit status:" paragraph, one .TP
# entry per "N meaning" clause.

function roff(s) {
    gsub(/\\/, "\\e", s)
    gsub(/-/, "\\-", s)
    return s
}
# Prints roff text in lines of at most 79 bytes, cut between words; a line
# that would start with a control character is guarded.
function emit(s,   n, w, i, line) {
    n = split(s, w, " ")
    line = ""
    for (i = 1; i <= n; i++) {
        if (line != "" && length(line) + 1 + length(w[i]) > 79) { print guard(line); line = "" }
        line = line == "" ? w[i] : line " " w[i]
    }
    if (line != "") print guard(line)
}
function guard(s) { return s ~ /^[.']/ ? "\\&" s : s }
function trim(s) { sub(/^ +/, "", s); sub(/ +$/, "", s); return s }
function option_end() {
    if (head == "") return
    print ".TP"
    print ".B " roff(head)
    emit(roff(body))
    head = ""
}

BEGIN { state = "usage" }

state == "usage" && /^usage: / { if (part == "synopsis") print roff(substr($0, 8)); next }
state == "usage" && /^       / { if (part == "synopsis") print roff(trim($0)); next }
state == "usage" { state = "description" }

state == "description" && $0 == "options:" { state = "options"; next }
state == "description" && /^commands:$/ { state = "after"; next }
state == "description" {
    if (part == "description") {
        if ($0 ~ /^  /) { print ".nf"; print guard(roff($0)); print ".fi" } else emit(roff($0))
    }
    next
}

state == "options" && /^  / {
    if (substr($0, 1, 29) ~ /[^ ]/) {
        # The name ends at the gap before the help (at least two spaces)
        # or with the line, when it is too long to share one.
        if (part == "options") option_end()
        head = trim($0); body = ""
        if ((gap = index(head, "  ")) > 0) { body = trim(substr(head, gap)); head = substr(head, 1, gap - 1) }
    } else {
        body = (body == "" ? "" : body " ") trim($0)
    }
    next
}
state == "options" { if (part == "options") option_end(); state = "after" }

state == "after" && /^Exit status: / { state = "exit"; text = substr($0, 14); next }
state == "after" && /^  / { if (part == "options") { print ".nf"; print guard(roff($0)); print ".fi" }; next }
state == "after" { if (part == "options") { print ".PP"; emit(roff($0)) }; next }
state == "exit" { text = text " " $0; next }

END {
    if (part == "options" && state == "options") option_end()
    if (part != "exit" || text == "") exit
    # "0 success; 1 failure (a; b), 2 usage error." -> one entry per clause
    # (cut at a ";", or a "," before a status number, outside parentheses);
    # a clause without a leading status number is a paragraph.
    depth = 0; clause = ""; n = 0
    for (i = 1; i <= length(text); i++) {
        c = substr(text, i, 1)
        if (c == "(") depth++
        if (c == ")") depth--
        if (depth == 0 && (c == ";" || (c == "," && substr(text, i + 1) ~ /^ [0-9]+ /))) { clauses[++n] = trim(clause); clause = ""; continue }
        clause = clause c
    }
    clauses[++n] = trim(clause)
    for (k = 1; k <= n; k++) {
        if (clauses[k] ~ /^[0-9]+ /) {
            split(clauses[k], w, " ")
            print ".TP"
            print ".B " w[1]
            emit(roff(substr(clauses[k], length(w[1]) + 2)))
        } else {
            print ".PP"
            emit(roff(clauses[k]))
        }
    }
}
