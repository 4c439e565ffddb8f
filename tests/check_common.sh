# Sourced by the shell tests: `check WHAT EXPECTED ACTUAL` prints ok or FAILED with both values
# and sets fail=1 on a mismatch.
fail=0
check() {  # what, expected, actual
  if [ "$2" == "$3" ]; then
    echo "ok: $1"
  else
    echo "FAILED: $1"
    echo "  expected: $(printf %q "$2")"
    echo "  actual:   $(printf %q "$3")"
    fail=1
  fi
}
