#!/usr/bin/env bash
# Installs Zobrin Onefile from the host tree into a temporary prefix, moves the tree elsewhere
# (a blank in its path), and builds a copy of examples/ there as an outside CMake project:
# find_package(ZobrinOnefile) with the installed toolchain file (and how other toolchain files
# find the package). Runs both executables under Wine (exact output and exit code), checks
# what each change rebuilds, that
# zobrin-pack finds its kit by itself (installed, and in the build tree), and
# zobrin_add_onefile's refusals and option mapping.
# Arguments: the host build tree, the source tree, the build tree's zobrin-pack.
set -u
host=$1 source=$2 build_pack=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(cd "$(dirname "$0")" && pwd)/check_common.sh"
die() {
  echo "FAILED: $1"
  [ -n "${2:-}" ] && cat "$2"
  exit 1
}

# ---- Install, then move: every path in the installed tree must be relative to it.
cmake --install "$host" --prefix "$work/staging" >"$work/log" 2>&1 || die "cmake --install" "$work/log"
prefix="$work/moved pre fix"
mv "$work/staging" "$prefix"
for file in bin/zobrin-pack include/zobrin/app.h \
    lib/zobrin-onefile/launcher/launcher.exe lib/zobrin-onefile/launcher/ucrt.specs \
    lib/zobrin-onefile/launcher/launcher.link lib/zobrin-onefile/launcher/payload-last.ld \
    lib/cmake/ZobrinOnefile/ZobrinOnefileConfig.cmake \
    lib/cmake/ZobrinOnefile/ZobrinOnefileConfigVersion.cmake \
    lib/cmake/ZobrinOnefile/ZobrinOnefile.cmake lib/cmake/ZobrinOnefile/ZobrinOnefileInputs.cmake \
    lib/cmake/ZobrinOnefile/mingw-w64-x86_64.cmake \
    share/doc/zobrin-onefile/README.md \
    share/doc/zobrin-onefile/docs/writing-an-application.md \
    share/doc/zobrin-onefile/examples/CMakeLists.txt; do
  [ -f "$prefix/$file" ] || { echo "FAILED: not installed: $file"; fail=1; }
done
[ -x "$prefix/bin/zobrin-pack" ] || { echo "FAILED: bin/zobrin-pack is not executable"; fail=1; }
[ ! -e "$prefix/lib/zobrin-onefile/launcher/.stamp" ] || { echo "FAILED: the kit's stamp installed"; fail=1; }

# ---- The installed documentation: every relative link of README.md and of each Markdown file
# in docs/ resolves inside the installed tree, its #anchor to a heading of the file it names
# (anchors as Markdown renderers make them: lower case, punctuation dropped, blanks as "-");
# and the build instructions name installed paths, not the source tree's.
doc="$prefix/share/doc/zobrin-onefile"
broken=$(cd "$doc" && python3 - README.md $(find docs -name '*.md' | sort) <<'PY'
import os, re, sys
def anchors(path):
    found, fenced = set(), False
    for line in open(path, encoding="utf-8"):
        if line.startswith("```"):
            fenced = not fenced
        elif not fenced and re.match(r"#{1,6} ", line):
            title = re.sub(r"[^\w\- ]", "", line.lstrip("#").strip().lower())
            found.add(title.replace(" ", "-"))
    return found
for name in sys.argv[1:]:
    text = re.sub(r"```.*?```", "", open(name, encoding="utf-8").read(), flags=re.S)
    for link in re.findall(r"\]\(([^)\s]+)\)", text):
        if re.match(r"[a-z]+:", link):
            continue
        path, _, anchor = link.partition("#")
        target = os.path.normpath(os.path.join(os.path.dirname(name), path)) if path else name
        if not os.path.exists(target):
            print(f"{name}: {link}")
        elif anchor and (not target.endswith(".md") or anchor not in anchors(target)):
            print(f"{name}: {link} (no such heading)")
PY
)
check "installed documentation: links and anchors resolve" "" "$broken"
check "installed documentation: no source-tree paths in the build instructions" "" \
  "$(grep -o 'build/ucrt.specs\|scripts/ucrt-specs.sh\|build/bin/zobrin-pack' "$doc/docs/writing-an-application.md")"

# ---- The examples as an outside project against the moved installation.
# The package is found with the installed toolchain file alone (which searches packages in
# CMAKE_FIND_ROOT_PATH only), with this repository's (which searches everywhere) and
# CMAKE_PREFIX_PATH, and with another toolchain file searching the root path only given the
# one line ZobrinOnefile_DIR; CMAKE_PREFIX_PATH alone is not enough there.
cp -r "$source/examples" "$work/src"
package="$prefix/lib/cmake/ZobrinOnefile"
printf '%s\n' 'set(CMAKE_SYSTEM_NAME Windows)' 'set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)' \
  'set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)' \
  'set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)' 'set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)' \
  'set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)' >"$work/root-only.cmake"
while IFS='|' read -r what toolchain args expected; do
  rm -rf "$work/configure"
  eval "cmake -S \"\$work/src\" -B \"\$work/configure\" -DCMAKE_TOOLCHAIN_FILE=\"$toolchain\" $args" \
    >"$work/log" 2>&1
  code=$?
  check "package found: $what" "$(eval echo "\"$expected\"")" \
    "$code $(grep -o '^ZobrinOnefile_DIR:[A-Z]*=.*' "$work/configure/CMakeCache.txt")"
done <<'ROWS'
repository toolchain, CMAKE_PREFIX_PATH|$source/cmake/mingw-w64-x86_64.cmake|-DZOBRIN_UCRT_SPECS="$prefix/lib/zobrin-onefile/launcher/ucrt.specs" -DCMAKE_PREFIX_PATH="$prefix"|0 ZobrinOnefile_DIR:PATH=$package
root path only, CMAKE_PREFIX_PATH|$work/root-only.cmake|-DCMAKE_PREFIX_PATH="$prefix"|1 ZobrinOnefile_DIR:PATH=ZobrinOnefile_DIR-NOTFOUND
root path only, ZobrinOnefile_DIR|$work/root-only.cmake|-DZobrinOnefile_DIR="$package"|0 ZobrinOnefile_DIR:UNINITIALIZED=$package
ROWS
out="$work/build"
cmake -S "$work/src" -B "$out" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$package/mingw-w64-x86_64.cmake" >"$work/log" 2>&1 ||
  die "configure the examples with the installed toolchain file" "$work/log"
check "package found: installed toolchain alone" "ZobrinOnefile_DIR:PATH=$package" \
  "$(grep '^ZobrinOnefile_DIR:' "$out/CMakeCache.txt")"
build() {
  cmake --build "$out" -j 2 >"$work/log" 2>&1 || die "build the examples" "$work/log"
}
build

# Runs an example under Wine: "exit code|stdout|stderr", line ends as they came, with the
# Windows path of the build directory written as BUILD.
windows_out="Z:${out//\//\\}"
run() {
  local exe=$1
  shift
  "$source/scripts/wine-run" "$out/$exe" "$@" >"$work/stdout" 2>"$work/stderr" </dev/null
  local code=$?
  local stdout stderr
  stdout=$(cat "$work/stdout"; echo .)
  stderr=$(cat "$work/stderr"; echo .)
  stdout=${stdout%.}
  printf '%s|%s|%s' "$code" "${stdout//"$windows_out"/BUILD}" "${stderr%.}"
}
cr=$'\r'
greeting="Gr$(printf '\xc3\xbc\xc3\x9f')e from data\\greeting.txt, packed beside the DLL.$cr"
dlls="libstdc++-6.dll: the application directory$cr
libgcc_s_seh-1.dll: the application directory$cr
libwinpthread-1.dll: the application directory$cr"
check "hello_c runs" "0|argument 0: BUILD\\example_hello_c.exe$cr
argument 1: plain$cr
argument 2: with blank$cr
started as: BUILD\\example_hello_c.exe$cr
$greeting
|" "$(run example_hello_c.exe plain 'with blank')"
check "cpp_dlls runs" "3|sorted 3 arguments: Zebra apple pear$cr
$dlls
|" "$(run example_cpp_dlls.exe pear apple Zebra)"

# ---- zobrin-pack finds its kit without --launcher-dir, installed and in the build tree, and
# packs what the build packed, byte for byte.
for pack in "$prefix/bin/zobrin-pack" "$build_pack"; do
  (cd "$work" && "$pack" exe "$out/example_hello_c_app" --main hello_c.dll -o "$work/by_hand.exe") \
    >"$work/log" 2>&1 || die "$pack exe without --launcher-dir" "$work/log"
  cmp -s "$work/by_hand.exe" "$out/example_hello_c.exe" &&
    echo "ok: $pack finds its kit by itself" ||
    { echo "FAILED: $pack packs other bytes than the build"; fail=1; }
done

# ---- What a change rebuilds: rows of (change, the executables rebuilt).
rebuilt() {
  local names=()
  for exe in example_hello_c example_cpp_dlls; do
    [ "$out/$exe.exe" -nt "$work/marker" ] && names+=("$exe")
  done
  echo "${names[*]:-none}"
}
while IFS='|' read -r what change expected; do
  touch "$work/marker"
  sleep 0.05
  (cd "$work/src" && eval "$change")
  build
  check "rebuilt after: $what" "$expected" "$(rebuilt)"
done <<'ROWS'
nothing changed|true|none
data file touched|touch hello_c/data/greeting.txt|none
data file changed|echo more >> hello_c/data/greeting.txt|example_hello_c
data file added|echo new > hello_c/data/added.txt|example_hello_c
file added with an old time|cp -p hello_c/hello.c hello_c/data/old.txt|example_hello_c
file renamed|mv hello_c/data/old.txt hello_c/data/renamed.txt|example_hello_c
file removed|rm hello_c/data/renamed.txt|example_hello_c
same size and time, other content|touch -r hello_c/data/added.txt "$work/time"; echo NEW > hello_c/data/added.txt; touch -r "$work/time" hello_c/data/added.txt|example_hello_c
C++ source changed|echo 'int cpp_dlls_marker = 1;' >> cpp_dlls/main.cpp|example_cpp_dlls
ROWS
check "the changed and the added data file are packed" \
  "data\\added.txt 4|data\\greeting.txt $(stat -c %s "$work/src/hello_c/data/greeting.txt")|" \
  "$("$prefix/bin/zobrin-pack" list "$out/example_hello_c.exe" | awk '/data/ {printf "%s %s|", $3, $2}')"
check "hello_c prints the changed file" "0|argument 0: BUILD\\example_hello_c.exe$cr
started as: BUILD\\example_hello_c.exe$cr
$greeting
more$cr
|" "$(run example_hello_c.exe)"

# ---- zobrin_add_onefile: refusals, and the zobrin-pack options its keywords stand for.
probe="$work/probe"
mkdir -p "$probe/a" "$probe/b" "$probe/c/x.txt"
echo 'int f(void) { return 0; }' >"$probe/x.c"
touch "$probe/a/x.txt" "$probe/b/x.txt" "$probe/app.ico"
cat >"$probe/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(probe VERSION 2.5 LANGUAGES C)
find_package(ZobrinOnefile 0.9 REQUIRED)
add_library(dll SHARED x.c)
add_library(lib STATIC x.c)
add_executable(tool x.c)
cmake_language(EVAL CODE "zobrin_add_onefile(${CALL})")
EOF
while IFS='|' read -r call expected; do
  cmake -S "$probe" -B "$probe/build" -DCMAKE_TOOLCHAIN_FILE="$package/mingw-w64-x86_64.cmake" \
    -DCALL="$call" >"$work/log" 2>&1
  code=$?
  if [ "${expected%% *}" = ok ]; then
    command=$(grep -h -- '--main' "$probe"/build/CMakeFiles/p.dir/build.make 2>/dev/null |
              grep -o -- '-o .*' | sed "s|$probe|PROBE|g")
    check "zobrin_add_onefile($call)" \
      "0|-o PROBE/build/p.exe --launcher-dir \"$prefix/lib/zobrin-onefile/launcher\"${expected#ok}" \
      "$code|$command"
  else
    message=$(tr -s ' \n' ' ' <"$work/log" |
              sed -n 's/.*\(zobrin_add_onefile(p): .*\) Call Stack.*/\1/p')
    check "zobrin_add_onefile($call) refused" "1|zobrin_add_onefile(p): $expected" \
      "$code|${message% }"
  fi
done <<ROWS
p MAIN_TARGET dll CONSOLE ICON app.ico VERSION 1.2.3.4 PACK_OPTIONS --level 3|ok --strict --console --icon PROBE/app.ico --file-version 1.2.3.4 --level 3
p MAIN_TARGET dll NO_STRICT PRODUCT Pro COMPANY Co DESCRIPTION "De sc" COPYRIGHT "(c) X"|ok --file-version 2.5 --product Pro --company Co --description "De sc" --copyright "(c) X"
p MAIN_TARGET tool|ok --strict --file-version 2.5
p|MAIN_TARGET (the main DLL's or program's target) is required
p MAIN_TARGET none|MAIN_TARGET 'none' is not a target
p MAIN_TARGET lib|MAIN_TARGET 'lib' is a STATIC_LIBRARY, not a SHARED library (a DLL) or an executable
p MAIN_TARGET dll DIRECTORIES gone|'$probe/gone' in DIRECTORIES is not a directory
p MAIN_TARGET dll FILES a/x.txt b/x.txt|two FILES are named 'x.txt'
p MAIN_TARGET dll FILES a/x.txt DIRECTORIES c/x.txt|two FILES or DIRECTORIES are named 'x.txt'
p MAIN_TARGET dll BOGUS|unknown arguments: BOGUS
ROWS

# Configured for the build machine instead of 64-bit Windows: said at configure time.
cmake -S "$probe" -B "$probe/host" -DCMAKE_PREFIX_PATH="$prefix" -DCALL="p MAIN_TARGET dll" \
  >"$work/log" 2>&1
code=$?
check "a project for another system refused" "1|ZobrinOnefile builds for 64-bit Windows, but this project targets Linux, 64-bit: configure it with an x86_64 mingw-w64 toolchain file" \
  "$code|$(tr -s ' \n' ' ' <"$work/log" | grep -o 'ZobrinOnefile builds for [^(]*file')"

exit $fail
