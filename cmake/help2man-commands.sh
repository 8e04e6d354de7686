#!/bin/sh
# help2man-commands.sh PROGRAM OUTPUT: writes a help2man include file for a program that takes
# a command (PROGRAM [options] COMMAND ...), made from the program's own help texts so that the
# man page never says other than --help:
#  - COMMANDS: each command of the "Commands:" list of PROGRAM --help, with the text, the
#    arguments and the options of PROGRAM COMMAND --help (the options every command takes are
#    under OPTIONS already, and are left out);
#  - EXAMPLES: the examples of PROGRAM --help one to a line (help2man would fill them into one
#    line), and the paragraphs after them.
set -eu
program=$1
output=$2

main_help=$("$program" --help)
commands=$(printf '%s\n' "$main_help" |
    awk '/^Commands:$/ { on = 1; next } on && /^$/ { exit } on { print $1 }')
shared=$(printf '%s\n' "$main_help" |
    awk '/^Options:$/ { on = 1; next } on && /^$/ { exit } on && /^  -/ { print $0 }')

# roff(): the awk functions that escape text for roff and lay out an option's names.
roff='
function esc(s) {
    gsub(/\\/, "\\e", s)
    gsub(/-/, "\\-", s)
    if (s ~ /^[.'"'"']/)
        s = "\\&" s
    return s
}
function names(signature,    n, i, words, out) {
    n = split(signature, words, " ")
    out = ""
    for (i = 1; i <= n; i++) {
        if (words[i] ~ /^-/) {
            sub(/,$/, "", words[i])
            out = out (i > 1 ? " " : "") "\\fB" esc(words[i]) "\\fR" (i < n && words[i + 1] ~ /^-/ ? "," : "")
        } else {
            out = out " " esc(words[i])
        }
    }
    return out
}
'

{
    echo '[COMMANDS]'
    echo 'Every command also takes the options under OPTIONS.'
    for command in $commands; do
        "$program" "$command" --help | awk -v shared="$shared" "$roff"'
            # Usage: PATH [options] COMMAND ARGUMENTS
            NR == 1 {
                sub(/^Usage: [^ ]* \[options\] /, "")
                usage = $0
                arguments = $0
                sub(/^[^ ]*/, "", arguments)
                sub(/^ /, "", arguments)
                printf ".SS \"%s\"\n", esc(usage)
                part = "text"
                next
            }
            /^Options:$/ { part = "options"; next }
            /^Arguments:$/ { part = "arguments"; next }
            part == "text" && /^$/ { if (literal) print ".fi"; literal = 0; paragraph = 1; next }
            part == "text" && /^  / {
                if (!literal) print ".IP\n.nf"
                literal = 1
                sub(/^  /, "")
                print esc($0)
                next
            }
            part == "text" {
                if (paragraph) print ".PP"
                paragraph = 0
                print esc($0)
                next
            }
            # An option or an argument: its names, two spaces or more, its text; then lines
            # that carry the text on. The arguments come first, then the options.
            /^  [^ ]/ {
                line = substr($0, 3)
                gap = index(line, "  ")
                signature = substr(line, 1, gap - 1)
                text = substr(line, gap)
                sub(/^ +/, "", text)
                keep = ""
                if (part == "options" && signature !~ /^-h, --help$|^--help-all$/ &&
                    index(shared, "  " signature "  ") == 0)
                    keep = "options"
                else if (part == "arguments" && signature == "arguments")
                    keep = "arguments"
                if (keep == "options")
                    options = options ".TP\n" names(signature) "\n" esc(text) "\n"
                else if (keep == "arguments")
                    own = own ".TP\n\\fI" esc(arguments) "\\fR\n" esc(text) "\n"
                next
            }
            /^   / {
                sub(/^ +/, "")
                if (keep == "options") options = options esc($0) "\n"
                else if (keep == "arguments") own = own esc($0) "\n"
                next
            }
            END { if (literal) print ".fi"; printf "%s%s", own, options }
        '
    done

    echo '[=EXAMPLES]'
    printf '%s\n' "$main_help" | awk "$roff"'
        /^Examples?:$/ { on = 1; print ".nf"; next }
        on == 1 && /^$/ { print ".fi"; on = 2; next }
        on == 1 { sub(/^ +/, ""); print esc($0); next }
        on == 2 && /^[A-Z][a-z]*:$/ { exit }
        on == 2 && /^$/ { started = 0; next }
        on == 2 { if (!started) print ".PP"; started = 1; print esc($0) }
    '
} >"$output"
