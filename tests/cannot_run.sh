# Sourced by the test scripts. cannot_run REASON: the script cannot run on this machine (no root,
# no namespace, a missing tool). It says so in one line and exits $skip_status (77, which CTest
# reports as skipped; a script run by hand sets 0) — unless KELVO_REQUIRE_PRIVILEGED=1 (CI, which
# is given all of these), where it is a failure with the same reason.
skip_status=${skip_status:-77}
cannot_run() {
  if [ "${KELVO_REQUIRE_PRIVILEGED:-}" = 1 ]; then
    echo "FAILED: cannot run here: $*" >&2
    exit 1
  fi
  echo "skipped: $*"
  exit "$skip_status"
}
