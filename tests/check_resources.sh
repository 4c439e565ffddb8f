#!/usr/bin/env bash
# Reads back what `zobrin-pack exe` wrote with other tools: the resources (wrestool, from
# icoutils) of the dressed and the plain executable, and the Authenticode signatures
# (osslsigncode) of their signed copies, which `zobrin-pack list` still reads.
#   check_resources.sh TEST_DIR ZOBRIN_PACK ICON.ico MANIFEST CERT.pem
set -u
dir=$1 pack=$2 icon=$3 manifest=$4 cert=$5
fail=0
check() {  # description, command...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; fail=1; fi
}
same() { [ "$1" = "$2" ] || { printf 'expected:\n%s\ngot:\n%s\n' "$2" "$1"; return 1; }; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

listing() { wrestool -l "$1" | sed 's/ \[.*//'; }
check "dressed: icons, group icon, version and the launcher's manifest" same "$(listing "$dir/e2e_dressed.exe")" \
"--type=3 --name=1 --language=1033
--type=3 --name=2 --language=1033
--type=14 --name=1 --language=1033
--type=16 --name=1 --language=1033
--type=24 --name=1 --language=1033"
check "plain: the manifest only" same "$(listing "$dir/e2e_echo.exe")" "--type=24 --name=1 --language=1033"

# wrestool rebuilds the .ico from the group and its images (and appends stray bytes after the
# last image, for a file windres made too): the file given, byte for byte.
wrestool -x -t14 "$dir/e2e_dressed.exe" -o "$tmp/back.ico"
check "icon read back as given" cmp -n "$(stat -c %s "$icon")" "$tmp/back.ico" "$icon"
wrestool -x --raw -t24 "$dir/e2e_dressed.exe" -o "$tmp/manifest"
check "manifest kept" cmp "$tmp/manifest" "$manifest"
wrestool -x --raw -t16 "$dir/e2e_dressed.exe" -o "$tmp/version"
text=$(iconv -f UTF-16LE -t UTF-8 "$tmp/version" | tr '\0' '\n')
for pair in "ProductName=Zobrin Test App" "CompanyName=Café Tests" "FileVersion=1.2.3.4" \
            "FileDescription=An application for tests" "LegalCopyright=© 2026 Zobrin tests" \
            "OriginalFilename=e2e_dressed.exe"; do
  check "version string ${pair%%=*}" grep -qF "${pair#*=}" <<<"$text"
done

for name in e2e_echo e2e_dressed; do
  signed=$dir/${name}_signed.exe
  out=$(osslsigncode verify -CAfile "$cert" -in "$signed" 2>&1)
  check "$name: signature verified with the test certificate as the trusted root" \
    grep -q '^Signature verification: ok' <<<"$out"
  # Without it, the chain is untrusted (self-signed) but the digest is the file's.
  out=$(osslsigncode verify -in "$signed" 2>&1)
  current=$(sed -n 's/^Current message digest *: //p' <<<"$out")
  calculated=$(sed -n 's/^Calculated message digest *: //p' <<<"$out")
  check "$name: untrusted chain, digest correct" \
    bash -c '[ -n "$0" ] && [ "$0" = "$1" ] && grep -q "self-signed certificate" <<<"$2"' \
    "$current" "$calculated" "$out"
  check "$name: list reads the signed executable" \
    same "$("$pack" list "$signed" 2>&1)" "$("$pack" list "$dir/$name.exe" 2>&1)"
done
check "signed dressed: resources still read" same "$(listing "$dir/e2e_dressed_signed.exe")" \
  "$(listing "$dir/e2e_dressed.exe")"
exit $fail
