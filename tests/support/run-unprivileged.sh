#!/bin/sh
# Runs a test program as an ordinary user (nobody) when started as root: root
# may read and write every file, so the tests of unreadable and read-only files
# only test something under another user. Exit 77 (skipped) when that cannot
# be arranged here; in CI (CI=true), where it always can, exit 1 (failed).
cannot() {
  if [ "${CI:-}" = true ]; then
    echo "failed: $1" >&2
    exit 1
  fi
  echo "skipped: $1" >&2
  exit 77
}
if [ "$(id -u)" -ne 0 ]; then
  exec "$@"
fi
if ! command -v setpriv >/dev/null 2>&1; then
  cannot "setpriv is not installed, cannot drop root"
fi
drop="setpriv --reuid=65534 --regid=65534 --clear-groups --"
if ! $drop test -x "$1"; then
  cannot "user nobody cannot run $1 (a folder above it is private)"
fi
cd / && exec $drop env TMPDIR=/tmp "$@"
