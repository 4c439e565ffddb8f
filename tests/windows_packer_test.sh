#!/usr/bin/env bash
# zobrin-pack.exe under Wine, given Windows paths (Z:\...): packs the hello_c example with the
# kit found beside it and with --launcher-dir, runs the result, lists it, and compares every
# executable it makes with the Linux zobrin-pack's for the same input byte for byte; also a
# non-ASCII application directory, messages naming non-ASCII paths, and --linker through a
# stand-in linker (argument quoting, exit status, a linker that cannot be started).
# Usage: windows_packer_test.sh ZOBRIN_PACK_EXE ZOBRIN_PACK HELLO_APP_DIR FAKE_LINKER WORK_DIR
set -u
winpack=$1 pack=$2 hello=$3 fake_linker=$4 work=$5
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
wine_run=$here/../scripts/wine-run
kit=$(dirname "$pack")/launcher
rm -rf "$work"
mkdir -p "$work"
fail=0

# The Windows name Wine gives a Unix path: drive Z: is the root.
win() { local p=$1; printf 'Z:%s' "${p//\//\\}"; }

# Runs a command, keeping its stdout, stderr and exit status in $out, $err and $status. Windows
# programs end lines with CR LF in text mode: the CRs are dropped. Refusals end at once, which
# scripts/wine-run would take for a Wine start that died and run again: it runs them once.
run() {
  ZOBRIN_WINE_RUN_ONCE=1 "$@" >"$work/out" 2>"$work/err" </dev/null
  status=$?
  out=$(sed 's/\r$//' "$work/out")
  err=$(sed 's/\r$//' "$work/err")
}

# expect NAME WANT_STATUS WANT_STDOUT WANT_STDERR (after `run`)
expect() {
  if [ "$status" = "$2" ] && [ "$out" = "$3" ] && [ "$err" = "$4" ]; then
    echo "ok: $1"
  else
    echo "FAILED: $1"
    echo "  status $status, want $2"
    diff <(printf '%s\n' "$3") <(printf '%s\n' "$out") | sed 's/^/  stdout /'
    diff <(printf '%s\n' "$4") <(printf '%s\n' "$err") | sed 's/^/  stderr /'
    fail=1
  fi
}

# same NAME FILE_A FILE_B: byte for byte.
same() {
  if cmp -s "$2" "$3"; then echo "ok: $1"; else echo "FAILED: $1 ($2 and $3 differ)"; fail=1; fi
}

# The packer's success line, without its timing.
pack_line="zobrin-pack: [0-9]+ files, [0-9]+ bytes in, [0-9]+ bytes out \\([0-9.]+%\\) to '[^']+', [0-9.]+ s"
packed() {  # NAME (after `run`)
  if [ "$status" = 0 ] && [ -z "$err" ] && [[ "$out" =~ ^$pack_line$ ]]; then
    echo "ok: $1"
  else
    echo "FAILED: $1: status $status"; printf '  stdout %s\n  stderr %s\n' "$out" "$err"; fail=1
  fi
}

# hello_c's output when started as `wine64 EXE a "b c" ü`.
hello_output() {
  printf 'argument 0: %s\nargument 1: a\nargument 2: b c\nargument 3: ü\nstarted as: %s\n%s' \
    "$(win "$1")" "$(win "$1")" "$(cat "$hello/data/greeting.txt")"
}

# A 64-bit console program that runs on a bare Windows: the Universal CRT, no msvcrt.dll and
# no mingw-w64 runtime DLLs.
headers=$(x86_64-w64-mingw32-objdump -p "$winpack")
dlls=$(printf '%s\n' "$headers" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u | tr '\n' ' ')
if grep -q '^Magic\s*020b' <<<"$headers" && grep -q '^Subsystem\s*00000003' <<<"$headers" &&
   [[ " $dlls" == *" api-ms-win-crt-runtime-l1-1-0.dll "* ]] &&
   ! grep -Eq '(^| )(msvcrt|libgcc|libstdc|libwinpthread|libzstd)' <<<"$dlls"; then
  echo "ok: a 64-bit console program importing only system DLLs ($dlls)"
else
  echo "FAILED: zobrin-pack.exe's headers or imports: $dlls"; fail=1
fi

run "$wine_run" "$winpack" --version
expect "--version" 0 "zobrin-pack $(cd "$work" && "$pack" --version | sed 's/^zobrin-pack //')" ""

# The kit beside zobrin-pack.exe, one compression thread: the same bytes as on Linux.
run "$wine_run" "$winpack" exe "$(win "$hello")" --main hello_c.dll -o "$(win "$work/hello.exe")" \
  --threads 1
packed "exe with the kit beside zobrin-pack.exe"
"$pack" exe "$hello" --main hello_c.dll -o "$work/hello-linux.exe" --threads 1 >/dev/null
same "exe, --threads 1: the Linux packer's bytes" "$work/hello.exe" "$work/hello-linux.exe"
run "$wine_run" "$work/hello.exe" a "b c" ü
expect "the packed example runs" 0 "$(hello_output "$work/hello.exe")" ""
# Packing again replaces the file (a rename over an existing file); a PNG splash (zlib in both).
splash="$here/host/splash/rgb_dynamic.png"
run "$wine_run" "$winpack" exe "$(win "$hello")" --main hello_c.dll -o "$(win "$work/hello.exe")" \
  --threads 1 --level 3 --splash "$(win "$splash")"
packed "exe over an existing output"
"$pack" exe "$hello" --main hello_c.dll -o "$work/hello-linux.exe" --threads 1 --level 3 \
  --splash "$splash" >/dev/null
same "the replaced output holds the new bytes, the splash's pixels too" "$work/hello.exe" "$work/hello-linux.exe"

run "$wine_run" "$winpack" list "$(win "$work/hello.exe")"
want_list=$("$pack" list "$work/hello.exe")
expect "list prints what the Linux packer does" 0 "$want_list" ""
# extract writes the packed tree; a directory that exists is refused.
run "$wine_run" "$winpack" extract "$(win "$work/hello.exe")" -o "$(win "$work/tree")"
if [ "$status" = 0 ] && diff -r "$hello" "$work/tree" >/dev/null; then
  echo "ok: extract writes the application's tree"
else
  echo "FAILED: extract: $status $err"; fail=1
fi
run "$wine_run" "$winpack" extract "$(win "$work/hello.exe")" -o "$(win "$work/tree")"
expect "extract refuses a directory that exists" 1 "" \
  "zobrin-pack: error: '$(win "$work/tree")' exists already: extract writes a new directory"

# Several threads (zstd workers on Windows threads), --launcher-dir as a Windows path.
run "$wine_run" "$winpack" exe "$(win "$hello")" --main hello_c.dll -o "$(win "$work/mt.exe")" \
  --threads 2 --launcher-dir "$(win "$kit")"
packed "exe with --threads 2 and --launcher-dir"
"$pack" exe "$hello" --main hello_c.dll -o "$work/mt-linux.exe" --threads 2 >/dev/null
same "exe, --threads 2: the Linux packer's bytes" "$work/mt.exe" "$work/mt-linux.exe"
run "$wine_run" "$work/mt.exe" a "b c" ü
expect "the example packed with two threads runs" 0 "$(hello_output "$work/mt.exe")" ""

# A non-ASCII application directory (and output) holding non-ASCII names, one outside the
# Basic Multilingual Plane (a surrogate pair in UTF-16); a payload step and an object step.
app="$work/Grüße 日本"
cp -r "$hello" "$app"
mkdir -p "$app/données"
echo "contenu" >"$app/données/ñandú 🙂.txt"
run "$wine_run" "$winpack" exe "$(win "$app")" --main hello_c.dll -o "$(win "$work/grüße.exe")" \
  --threads 1 --launcher-dir "$(win "$kit")"
packed "exe from a non-ASCII application directory"
"$pack" exe "$app" --main hello_c.dll -o "$work/grüße-linux.exe" --threads 1 >/dev/null
same "non-ASCII directory: the Linux packer's bytes" "$work/grüße.exe" "$work/grüße-linux.exe"
run "$wine_run" "$work/grüße.exe" a "b c" ü
expect "the example from the non-ASCII directory runs" 0 "$(hello_output "$work/grüße.exe")" ""
for step in payload object; do
  run "$wine_run" "$winpack" $step "$(win "$app")" --main hello_c.dll \
    -o "$(win "$work/ü.$step")" --threads 1
  packed "$step from the non-ASCII directory"
  "$pack" $step "$app" --main hello_c.dll -o "$work/ü-linux.$step" --threads 1 >/dev/null
  same "$step: the Linux packer's bytes" "$work/ü.$step" "$work/ü-linux.$step"
done

# Messages name paths in UTF-8, as given; nothing is left behind.
# An application directory deeper than MAX_PATH (260 units).
deep="$work/deep/$(printf 'a%.0s' {1..100})/$(printf 'b%.0s' {1..100})/$(printf 'c%.0s' {1..60})"
mkdir -p "$deep"
cp -r "$hello"/. "$deep"
run "$wine_run" "$winpack" payload "$(win "$deep")" --main hello_c.dll -o "$(win "$work/deep.payload")" \
  --threads 1
packed "payload from a directory of ${#deep} units"
"$pack" payload "$deep" --main hello_c.dll -o "$work/deep-linux.payload" --threads 1 >/dev/null
same "deep directory: the Linux packer's bytes" "$work/deep.payload" "$work/deep-linux.payload"

run "$wine_run" "$winpack" exe "$(win "$work/fehlt-ö")" --main hello_c.dll -o "$(win "$work/x.exe")"
expect "a missing non-ASCII directory" 1 "" \
  "zobrin-pack: error: application directory '$(win "$work/fehlt-ö")' does not exist"
run "$wine_run" "$winpack" exe "$(win "$app")" --main hello_c.dll -o "$(win "$app/inside.exe")"
expect "an output inside the non-ASCII directory" 1 "" \
  "zobrin-pack: error: the output '$(win "$app/inside.exe")' is inside the application directory '$(win "$app")'"
run "$wine_run" "$winpack" exe "$(win "$app")" --main hello_c.dll -o "$(win "$work/x.exe")" \
  --launcher-dir "$(win "$work/kit-ä")"
expect "a missing non-ASCII kit" 1 "" \
  "zobrin-pack: error: the launcher is not built: '$(win "$work/kit-ä")\\launcher.exe' is missing (use --launcher-dir DIR)"
if [ -e "$work/x.exe" ] || ls "$work" | grep -q '\.tmp-'; then
  echo "FAILED: a refused run left files: $(ls "$work")"; fail=1
else
  echo "ok: refused runs leave nothing"
fi

# --linker: the kit's link inputs and a stand-in linker, all under names with spaces and
# non-ASCII letters, which reach the linker unchanged.
link_kit="$work/link kit ä"
cp -r "$kit" "$link_kit"
linker="$work/the linker ü.exe"
cp "$fake_linker" "$linker"
out_exe="$work/out dir é/launcher.exe"
mkdir -p "$(dirname "$out_exe")"
args_file=$work/linker.args
export FAKE_LINKER_ARGS; FAKE_LINKER_ARGS=$(win "$args_file")
run "$wine_run" "$winpack" launcher -o "$(win "$out_exe")" --launcher-dir "$(win "$link_kit")" \
  --linker "$(win "$linker")"
expect "launcher with --linker" 0 "" ""
temp_exe=$(sed -n '/^-o$/{n;p}' "$args_file" 2>/dev/null | sed 's/^Z://; s/\\/\//g')
lk=$(win "$link_kit")
want_args=$(printf '%s\n' "$(win "$linker")" "-specs=$lk\\ucrt.specs"
  grep -v '^#' "$kit/launcher.link" | grep -v '^$'
  printf '%s\n' "-Wl,-T,$lk\\payload-last.ld" -o "$(win "$temp_exe")" "$lk\\launcher.res.o" \
    "$(win "$temp_exe").o.tmp-"'*' "$lk\\libzobrin_entry.a" "$lk\\libzobrin_launcher.a" "$lk\\libzstd.a")
got_args=$(sed "s/\\.o\\.tmp-[0-9]*$/.o.tmp-*/" "$args_file" 2>/dev/null)
if [[ "$temp_exe" == "$out_exe".tmp-* ]] && [ "$got_args" = "$want_args" ] &&
   [ "$(cat "$out_exe")" = linked ]; then
  echo "ok: the linker gets every argument unchanged and its output is kept"
else
  echo "FAILED: linker arguments or output"
  diff <(printf '%s\n' "$want_args") <(printf '%s\n' "$got_args") | sed 's/^/  /'
  fail=1
fi
run env FAKE_LINKER_EXIT=3 "$wine_run" "$winpack" launcher -o "$(win "$work/failed.exe")" \
  --launcher-dir "$(win "$link_kit")" --linker "$(win "$linker")"
expect "a linker that fails" 1 "" "zobrin-pack: error: linking failed: '$(win "$linker")' exited with 3"
run "$wine_run" "$winpack" launcher -o "$(win "$work/failed.exe")" \
  --launcher-dir "$(win "$link_kit")" --linker "$(win "$work/no linker.exe")"
expect "a linker that cannot be started" 1 "" \
  "zobrin-pack: error: cannot run the linker '$(win "$work/no linker.exe")'"
if ls "$work" | grep -q 'failed\.exe'; then
  echo "FAILED: a failed link left files: $(ls "$work" | grep failed)"; fail=1
else
  echo "ok: failed links leave nothing"
fi

[ "$fail" = 0 ] && rm -rf "$work"
exit $fail
