#!/usr/bin/env bash
# Checks the systemd units of packaging/systemd as systemd reads them:
#
#   scripts/check_units.sh ENGINE QRVUPDATE
#
# ENGINE and QRVUPDATE are the programs of a build (qrvupdate-engine and
# qrvupdate). The units name the installed programs, which verify requires
# to exist, so each unit is checked as a copy in a temporary folder whose
# ExecStart runs the built program instead; nothing is installed and no
# systemd is asked to load anything.
#
# - systemd-analyze verify on the engine's socket and service, and on the
#   boot unit of the replacement queue with a target that wants it as its
#   [Install] says: any word about our units fails the check;
# - the same verify on a copy with a misspelt setting must speak up, so its
#   silence above means something;
# - systemd-analyze security --offline=true on the engine's service: its
#   exposure is printed and fails the check above QRV_UNITS_MAX_EXPOSURE
#   (tenths, default 30: "3.0");
# - the socket's address is the one the programs use by default.
#
# Exits 0 when every check passes, 1 otherwise; needs systemd-analyze (the
# systemd package, see scripts/setup.sh).
set -uo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 ENGINE QRVUPDATE (the built qrvupdate-engine and qrvupdate)" >&2
  exit 2
fi
engine=$(realpath -e "$1") || exit 2
qrvupdate=$(realpath -e "$2") || exit 2
here=$(cd "$(dirname "$0")/.." && pwd)
units=$here/packaging/systemd
analyze=$(command -v systemd-analyze) || {
  echo "check_units: systemd-analyze is missing: install the systemd package (scripts/setup.sh)" >&2
  exit 1
}
max_exposure=${QRV_UNITS_MAX_EXPOSURE:-30}

work=$(mktemp -d "${TMPDIR:-/tmp}/qrv-units-XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
failed=0
fail() {
  echo "check_units: FAIL: $*" >&2
  failed=1
}

# copy UNIT DEST: the unit with its installed programs replaced by the built ones
copy() {
  sed -e "s#^ExecStart=/usr/libexec/qrvupdate/qrvupdate-engine#ExecStart=$engine#" \
    -e "s#^ExecStart=/usr/bin/qrvupdate #ExecStart=$qrvupdate #" "$units/$1" >"$2"
  if grep -qE '^ExecStart=/usr/' "$2"; then
    fail "$1: an ExecStart names a program this check does not know: $(grep -E '^ExecStart=' "$2")"
  fi
}

# verify FOLDER UNIT...: what systemd-analyze verify says about our units
# (lines about the host's own units are not ours to judge), and its status
verify() {
  local folder=$1 out status
  shift
  out=$(cd "$folder" && "$analyze" verify --man=no "$@" 2>&1)
  status=$?
  grep -E 'qrvupdate' <<<"$out"
  [ "$status" -eq 0 ] || echo "systemd-analyze verify exited with $status"
}

mkdir -p "$work/good" "$work/broken"
for unit in qrvupdate-engine.socket qrvupdate-engine.service qrvupdate-pending.service; do
  [ -f "$units/$unit" ] || fail "$units/$unit is missing"
  copy "$unit" "$work/good/$unit"
done
# the boot unit comes with a target that wants it as its [Install] says,
# so its ordering at boot is checked too
wanted_by=$(sed -n 's/^WantedBy=//p' "$units/qrvupdate-pending.service" | tr '\n' ' ')
printf '[Unit]\nDescription=a boot with the pending unit enabled\nWants=%s qrvupdate-pending.service\n' \
  "$wanted_by" >"$work/good/qrvupdate-boot.target"

said=$(verify "$work/good" qrvupdate-engine.socket qrvupdate-engine.service qrvupdate-pending.service \
  qrvupdate-boot.target)
if [ -n "$said" ]; then
  fail "systemd-analyze verify spoke about our units:"
  echo "$said" >&2
else
  echo "check_units: systemd-analyze verify: the engine's socket and service and the pending unit are clean"
fi

# a misspelt setting must not pass unnoticed
cp "$work/good/qrvupdate-engine.socket" "$work/broken/"
sed 's/^ProtectKernelTunables=/ProtectKernelTunable=/' "$work/good/qrvupdate-engine.service" \
  >"$work/broken/qrvupdate-engine.service"
if [ -z "$(verify "$work/broken" qrvupdate-engine.socket qrvupdate-engine.service)" ]; then
  fail "systemd-analyze verify said nothing about a misspelt setting; its silence above proves nothing"
fi

# exposure of the service, as systemd-analyze security rates it
security=$("$analyze" security --offline=true --no-pager "$work/good/qrvupdate-engine.service" 2>&1)
exposure=$(sed -n 's/.*Overall exposure level for qrvupdate-engine.service: \([0-9.]*\).*/\1/p' <<<"$security")
if [ -z "$exposure" ]; then
  fail "systemd-analyze security gave no exposure level:"
  echo "$security" >&2
else
  tenths=$(awk -v e="$exposure" 'BEGIN { printf "%d", e * 10 + 0.5 }')
  echo "check_units: systemd-analyze security --offline=true: qrvupdate-engine.service exposure $exposure"
  if [ "$tenths" -gt "$max_exposure" ]; then
    fail "the service's exposure $exposure is above $((max_exposure / 10)).$((max_exposure % 10)):"
    grep '✗' <<<"$security" >&2
  fi
fi

# the socket is where the windows and the engine look without systemd
listen=$(sed -n 's/^ListenStream=//p' "$units/qrvupdate-engine.socket")
[ "$listen" = /run/qrvupdate/engine.socket ] || fail "the socket listens at '$listen', not /run/qrvupdate/engine.socket"
for program in "$engine" "$qrvupdate"; do
  grep -qa 'run/qrvupdate/engine.socket' "$program" ||
    fail "$(basename "$program") does not use run/qrvupdate/engine.socket by default"
done

exit "$failed"
