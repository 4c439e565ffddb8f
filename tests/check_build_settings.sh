#!/usr/bin/env bash
# Checks a built launcher-like executable: 64-bit GUI program, 8 MiB stack reserve, Universal
# CRT only (no msvcrt.dll, no mingw runtime DLLs), no other DLL than kernel32 (anything else is
# looked up at run time) and the manifest in its resources.
set -u
exe=$1
fail=0
headers=$(x86_64-w64-mingw32-objdump -p "$exe") || exit 1
check() {  # description, command...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; fail=1; fi
}
dlls=$(printf '%s\n' "$headers" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
echo "imports: $(echo $dlls)"
check "PE32+ (64-bit)" grep -q '^Magic\s*020b' <<<"$headers"
check "GUI subsystem" grep -q '^Subsystem\s*00000002' <<<"$headers"
check "8 MiB stack reserve" grep -q '^SizeOfStackReserve\s*0*800000$' <<<"$headers"
check "no msvcrt.dll import" bash -c '! grep -qx "msvcrt.dll" <<<"$0"' "$dlls"
check "imports the Universal CRT" bash -c 'grep -Eq "^(ucrtbase.dll|api-ms-win-crt-.*)$" <<<"$0"' "$dlls"
check "only system DLLs" bash -c '! grep -Eq "^(libgcc|libstdc|libwinpthread|libzstd)" <<<"$0"' "$dlls"
check "only kernel32 and the Universal CRT" \
  bash -c '! grep -Evq "^(kernel32.dll|ucrtbase.dll|api-ms-win-crt-.*)$" <<<"$0"' "$dlls"
rsrc=$(mktemp)
x86_64-w64-mingw32-objcopy -O binary --only-section=.rsrc "$exe" "$rsrc"
check "manifest: long-path aware" grep -aq '<longPathAware[^>]*>true</longPathAware>' "$rsrc"
check "manifest: asInvoker" grep -aq 'requestedExecutionLevel level="asInvoker"' "$rsrc"
check "manifest: common controls 6.0.0.0" \
  grep -aq 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' "$rsrc"
rm -f "$rsrc"
exit $fail
