#!/bin/sh
# verify refuses an executable whose manifest asks for another execution level than its
# settings record: EXE (packed with --uac-admin) with its manifest's level changed in a copy.
#   check_execution_level.sh EXE ZOBRIN_PACK COPY
set -eu
exe=$1
pack=$2
copy=$3
python3 - "$exe" "$copy" <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
asked = b'level="requireAdministrator"'
at = data.rfind(asked)  # the manifest, in the resource section after the payload's record
assert at > 0
open(sys.argv[2], 'wb').write(data[:at] + b'level="highestAvailable"    ' + data[at + len(asked):])
PY
if out=$("$pack" verify "$copy" 2>&1); then echo "verify accepted $copy"; exit 1; fi
expected="zobrin-pack: error: '$copy': its manifest asks for the execution level 'highestAvailable', but the settings record 'requireAdministrator'"
[ "$out" = "$expected" ] || { echo "got: $out"; exit 1; }
rm -f "$copy"
