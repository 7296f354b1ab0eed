# Sourced by test scripts. cannot_run REASON: this machine lacks what the script needs (root, a
# namespace, a tool): one line, then exit $skip_status (77, CTest's skip; 0 for a script run by
# hand), or a failure under KELVO_REQUIRE_PRIVILEGED=1 (CI, which is given all of these).
skip_status=${skip_status:-77}
cannot_run() {
  if [ "${KELVO_REQUIRE_PRIVILEGED:-}" = 1 ]; then echo "FAILED: cannot run here: $*" >&2; exit 1; fi
  echo "skipped: $*"
  exit "$skip_status"
}
