#!/usr/bin/env bash
# The documentation against what it describes.
# - The README stays short: at most 400 lines.
# - The README's quick start, the lines between its <!-- quick-start --> markers, runs as
#   written from the source tree with HOME in a scratch directory: `make install` (its
#   install step: the build is done, so `cmake --install` of the host tree, as the Makefile's
#   install target does after building), the packing of an existing program kept in ~/tool
#   (the examples' console program with its data, as tool.exe), and the run under the tests'
#   Wine, whose output and exit code are checked.
# - The manual page: installed in share/man/man1, found by `man` for the installed bin/ on
#   PATH, rendered without warnings, and naming every command and every option that each
#   command's --help lists.
# Arguments: the host build tree, the source tree, and an existing program's directory
# (hello_program.exe and its data/).
set -u
host=$1 source=$2 program_dir=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(cd "$(dirname "$0")" && pwd)/check_common.sh"

check "the README is at most 400 lines" yes "$([ "$(wc -l <"$source/README.md")" -le 400 ] && echo yes)"

# ---- The quick start, as the README writes it.
block=$(sed -n '/^<!-- quick-start -->$/,/^<!-- \/quick-start -->$/p' "$source/README.md" |
        grep -v '^<!--\|^```')
mapfile -t commands <<<"$block"
check "the README's quick start is three commands" 3 "${#commands[@]}"

home="$work/home"
mkdir -p "$home/tool"
cp -r "$program_dir/data" "$home/tool/data"
cp "$program_dir/hello_program.exe" "$home/tool/tool.exe"

# Runs one line of the quick start as the user would type it, in the source tree:
# "exit code|stdout|stderr" with the Windows form of HOME written as HOME.
quick_start() {
  (
    cd "$source" || exit 1
    export HOME="$home"
    make() {
      [ $# = 2 ] && [ "$1" = install ] && [ "${2%%=*}" = PREFIX ] || {
        echo "the quick start runs 'make $*'; this test knows only 'make install PREFIX=DIR'" >&2
        return 1
      }
      cmake --install "$host" --prefix "${2#PREFIX=}" >/dev/null
    }
    eval "$1"
  ) >"$work/stdout" 2>"$work/stderr" </dev/null
  local code=$? stdout stderr windows_home="Z:${home//\//\\}"
  stdout=$(cat "$work/stdout"; echo .)
  stderr=$(cat "$work/stderr"; echo .)
  stdout=${stdout%.}
  printf '%s|%s|%s' "$code" "${stdout//"$windows_home"/HOME}" "${stderr%.}"
}

check "quick start 1: ${commands[0]}" "0||" "$(quick_start "${commands[0]}")"
[ -x "$home/zobrin/bin/zobrin-pack" ] && [ -f "$home/zobrin/share/man/man1/zobrin-pack.1" ] ||
  { echo "FAILED: the quick start's install lacks bin/zobrin-pack or the manual page"; fail=1; }
packed=$(quick_start "${commands[1]}")
check "quick start 2 packs: ${commands[1]}" "0" "${packed%%|*}"
check "quick start 2 makes an executable" "yes" "$([ -x "$home/tool-onefile.exe" ] && echo yes)"
cr=$'\r'
check "quick start 3 runs it: ${commands[2]}" "1|argument 1: hello world$cr
Hello from data\\greeting.txt, packed beside the program.$cr
|" "$(quick_start "${commands[2]}")"

# ---- The manual page, installed (by the quick start's install above).
prefix="$home/zobrin"
pack="$prefix/bin/zobrin-pack"
man_path=$(env -u MANPATH PATH="$prefix/bin:$PATH" man -w zobrin-pack 2>&1)
check "man finds the installed page with the installed bin/ on PATH" \
  "$prefix/share/man/man1/zobrin-pack.1" "$man_path"
env -u MANPATH PATH="$prefix/bin:$PATH" MANWIDTH=80 LC_ALL=C.UTF-8 \
  man --warnings zobrin-pack >"$work/page" 2>"$work/warnings"
check "man renders the page without warnings" "" "$(cat "$work/warnings")"
[ -s "$work/page" ] || { echo "FAILED: man rendered nothing"; fail=1; }

# Every command the top-level help lists is described under COMMANDS, and every option of its
# --help appears in the page as a whole word.
commands_section=$(sed -n '/^COMMANDS$/,/^OPTIONS$/p' "$work/page")
subcommands=$("$pack" --help | sed -n '/^Subcommands:$/,$p' | awk 'NR > 1 && NF {print $1}')
[ -n "$subcommands" ] || { echo "FAILED: no commands in zobrin-pack --help"; fail=1; }
absent=()
for sub in $subcommands; do
  grep -q "^ *$sub\( \|$\)" <<<"$commands_section" || absent+=("$sub")
  options=$("$pack" "$sub" --help | sed -n '/^Options:$/,$p' |
            grep -o '^  -[^ ]*' | tr ',' '\n' | sed 's/^ *//')
  [ -n "$options" ] || absent+=("$sub: no options in its --help")
  for option in $options; do
    grep -q -- "\(^\|[^a-z-]\)$option\([^a-z-]\|$\)" "$work/page" || absent+=("$sub $option")
  done
done
check "the page describes every command and option of the --help" "" "${absent[*]}"

exit $fail
