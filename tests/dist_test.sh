#!/usr/bin/env bash
# make dist's archives: writes them with scripts/dist.sh, checks what each holds, unpacks each
# into its own directory (blanks and non-ASCII letters in the path) and packs the hello_c
# example with the packer it holds: the Linux archive's zobrin-pack natively, the Windows
# archive's zobrin-pack.exe under Wine with Windows paths. Runs both results (exact output and
# exit code); with one thread both archives' packers write the same bytes.
# Usage: dist_test.sh SOURCE_DIR HOST_TREE BIN_DIR HELLO_APP_DIR WORK_DIR
set -u
source_dir=$1 host=$2 bin=$3 hello=$4 work=$5
wine_run=$source_dir/scripts/wine-run
rm -rf "$work"
mkdir -p "$work"
fail=0

win() { local p=$1; printf 'Z:%s' "${p//\//\\}"; }
ok() { echo "ok: $1"; }
failed() { echo "FAILED: $1"; [ -n "${2:-}" ] && sed 's/^/  /' "$2"; fail=1; }

if ! bash "$source_dir/scripts/dist.sh" "$source_dir" "$host" "$bin" "$work/dist" >"$work/log" 2>&1; then
  failed "scripts/dist.sh" "$work/log"
  exit 1
fi
version=$("$bin/zobrin-pack" --version)
version=${version#zobrin-pack }
tarball=$work/dist/zobrin-onefile-$version-linux-x86_64.tar.gz
zipfile=$work/dist/zobrin-onefile-$version-windows-x86_64.zip

# What every archive holds below its top directory (the packer apart).
holds=(lib/zobrin-onefile/launcher/launcher.exe lib/zobrin-onefile/launcher/launcher.link
  lib/zobrin-onefile/launcher/libzobrin_launcher.a lib/zobrin-onefile/launcher/ucrt.specs
  include/zobrin/app.h share/doc/zobrin-onefile/README.md
  share/doc/zobrin-onefile/docs/writing-an-application.md share/man/man1/zobrin-pack.1
  lib/cmake/ZobrinOnefile/ZobrinOnefileConfig.cmake lib/cmake/ZobrinOnefile/ZobrinOnefile.cmake
  lib/cmake/ZobrinOnefile/mingw-w64-x86_64.cmake)

linux_dir="$work/unpacked linux ä"
windows_dir="$work/unpacked windows é"
mkdir -p "$linux_dir" "$windows_dir"
tar -C "$linux_dir" -xzf "$tarball" || failed "unpacking $tarball"
unzip -q "$zipfile" -d "$windows_dir" || failed "unpacking $zipfile"
linux_root="$linux_dir/zobrin-onefile-$version-linux-x86_64"
windows_root="$windows_dir/zobrin-onefile-$version-windows-x86_64"
for root in "$linux_root" "$windows_root"; do
  missing=()
  for file in "${holds[@]}"; do [ -f "$root/$file" ] || missing+=("$file"); done
  if [ "${#missing[@]}" = 0 ]; then ok "$(basename "$root") holds the kit, header, package and documentation"
  else echo "FAILED: $(basename "$root") lacks ${missing[*]}"; fail=1; fi
done
if [ -x "$linux_root/bin/zobrin-pack" ] && [ ! -e "$linux_root/bin/zobrin-pack.exe" ] &&
   [ -x "$windows_root/bin/zobrin-pack.exe" ] && [ ! -e "$windows_root/bin/zobrin-pack" ]; then
  ok "each archive holds its own packer, executable"
else
  echo "FAILED: the packers: $(ls -l "$linux_root/bin" "$windows_root/bin")"; fail=1
fi

app="$work/app"
cp -r "$hello" "$app"
want=$(printf 'argument 0: %s\nargument 1: x y\nstarted as: %s\n%s' '@EXE@' '@EXE@' \
  "$(cat "$hello/data/greeting.txt")")
# run_packed NAME EXE: runs the packed example under Wine and checks its output and status.
run_packed() {
  local got status
  got=$("$wine_run" "$2" "x y" </dev/null 2>"$work/err" | sed 's/\r$//')
  status=${PIPESTATUS[0]}
  if [ "$status" = 0 ] && [ "$got" = "${want//@EXE@/$(win "$2")}" ] && [ ! -s "$work/err" ]; then
    ok "$1"
  else
    echo "FAILED: $1 (status $status)"; printf '%s\n' "$got" | sed 's/^/  stdout /'
    sed 's/^/  stderr /' "$work/err"; fail=1
  fi
}

if (cd / && "$linux_root/bin/zobrin-pack" exe "$app" --main hello_c.dll -o "$work/linux.exe" \
      --threads 1) >"$work/log" 2>&1; then
  run_packed "the Linux archive's zobrin-pack packs the example, which runs" "$work/linux.exe"
else
  failed "the Linux archive's zobrin-pack" "$work/log"
fi

if "$wine_run" "$(win "$windows_root/bin/zobrin-pack.exe")" exe "$(win "$app")" --main hello_c.dll \
      -o "$(win "$work/windows.exe")" --threads 1 </dev/null >"$work/log" 2>&1; then
  run_packed "the Windows archive's zobrin-pack.exe packs the example, which runs" "$work/windows.exe"
else
  failed "the Windows archive's zobrin-pack.exe" "$work/log"
fi
if cmp -s "$work/linux.exe" "$work/windows.exe"; then
  ok "both archives' packers write the same bytes"
else
  failed "the two archives' packers wrote different executables"
fi

[ "$fail" = 0 ] && rm -rf "$work"
exit $fail
