# Sourced by the tests of the Windows build. They are skipped (exit 77) on a
# machine without the Windows build; with TP_REQUIRE_WINDOWS=1 (as CI runs them,
# after scripts/build-windows.sh) a missing piece is a failure instead.
skip() {
  if [ "${TP_REQUIRE_WINDOWS:-0}" = 1 ]; then
    echo "FAIL: $* (TP_REQUIRE_WINDOWS=1)" >&2
    exit 1
  fi
  echo "skip: $*"
  exit 77
}
