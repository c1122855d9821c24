#!/usr/bin/env bash
# demo.sh — the whole update on one machine, in a sandbox:
#   1. installs the needed Debian packages (scripts/setup.sh) and builds
#      qrvctl, qrvupdate and qrvpublish in build/demo (Release, no sanitizers);
#   2. makes a sandbox root (mktemp -d) with the two demo products (QrvBase,
#      QrvWriter) installed at update level 1;
#   3. makes the signed update tree to level 2 and serves it on a loopback
#      port (qrvpublish build and qrvpublish serve);
#   4. opens the update window against it ("qrvupdate --root ROOT") when a
#      display is there: press Update, then close the window; with
#      --console, or without a display, it runs
#      "qrvupdate --root ROOT --console --yes" in the terminal instead;
#   5. prints the outcome: levels, files compared with what they should be,
#      the registry values the update wrote, the shortcut and the update log;
#   6. stops the server (also on failure or Ctrl-C).
#
# Nothing outside the sandbox root (and the build folder) is touched; the
# restart of the machine is never asked for nor done. The sandbox root is
# kept for a look afterwards; its path is printed at the end.
#
# Environment: QRV_DEMO_SKIP_SETUP=1 skips step 1's package installation;
# QRV_DEMO_BUILD_DIR overrides build/demo.
#
# Exit status: 0 when the update completed and every file is as expected,
# non-zero otherwise.
set -euo pipefail
console=0
for arg in "$@"; do
  case "$arg" in
    --console) console=1 ;;
    *) echo "usage: scripts/demo.sh [--console]" >&2; exit 2 ;;
  esac
done
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then console=1; fi
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
# shellcheck source=demo/first_line.sh
source scripts/demo/first_line.sh

step() { printf '\n==> %s\n' "$*"; }

step "setting up and building"
if [[ "${QRV_DEMO_SKIP_SETUP:-0}" != 1 ]]; then
  bash scripts/setup.sh
fi
build=${QRV_DEMO_BUILD_DIR:-build/demo}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQRV_BUILD_TESTS=OFF -DQRV_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j 2 --target qrvctl qrvupdate qrvpublish
QRVCTL=$here/$build/tools/qrvctl/qrvctl
QRVUPDATE=$here/$build/app/qrvupdate/qrvupdate
QRVPUBLISH=$here/$build/tools/qrvpublish/qrvpublish
export QRVCTL QRVPUBLISH

step "making the sandbox and the signed update tree"
ROOT=$(mktemp -d)
OUT=$ROOT/demo-tree
bash scripts/demo/make_update_tree.sh "$ROOT" "$OUT"

server_pid=
stop_server() {
  if [[ -n "$server_pid" ]]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
  fi
}
trap stop_server EXIT

step "serving the update tree on loopback"
port_file=$ROOT/serve.port
"$QRVPUBLISH" serve "$OUT/updates" --port 0 >"$port_file" 2>"$ROOT/serve.log" &
server_pid=$!
PORT=$(first_line "$port_file" "$server_pid" "demo: the server" "$ROOT/serve.log")
echo "server: http://127.0.0.1:$PORT/ (pid $server_pid)"

bash scripts/demo/setup_sandbox.sh "$ROOT" "$OUT" "$PORT"

key='HKLM\SOFTWARE\QRV\Shared\QrvUpdate'
levels() {
  for p in QrvBase QrvWriter; do
    printf '  %-10s level %s\n' "$p" "$("$QRVCTL" --root "$ROOT" reg query "$key\\$p" ProductVersion | cut -f3)"
  done
}
step "before the update"
levels

status=0
if [[ $console == 1 ]]; then
  step "qrvupdate --root $ROOT --console --yes"
  "$QRVUPDATE" --root "$ROOT" --console --yes || status=$?
else
  step "qrvupdate --root $ROOT (the update window: press Update, then close it)"
  "$QRVUPDATE" --root "$ROOT" || status=$?
fi
echo "qrvupdate exit status: $status"

step "after the update"
levels
echo "  UpdateState: $("$QRVCTL" --root "$ROOT" reg query "$key" UpdateState | cut -f3 || true)"

step "installed files compared with the expected level-2 files"
files_ok=0
for p in QrvBase QrvWriter; do
  if diff -r "$OUT/expected/$p" "$ROOT/opt/qorvane/$p" >/dev/null; then
    echo "  $p: as expected"
  else
    echo "  $p: DIFFERENT"
    diff -r "$OUT/expected/$p" "$ROOT/opt/qorvane/$p" || true
    files_ok=1
  fi
done

step "registry values written by the update"
for p in QrvBase QrvWriter; do
  "$QRVCTL" --root "$ROOT" reg query "HKLM\\SOFTWARE\\QRV\\Demo\\$p" | sed "s/^/  $p: /" || true
done

step "shortcuts"
for f in "$ROOT"/usr/local/share/applications/*.desktop; do
  [[ -e "$f" ]] || { echo "  (none)"; break; }
  echo "  $f"
  sed 's/^/    /' "$f"
done

step "update log"
log=$ROOT/var/cache/qrvupdate/QRVDownload/quplog.ini
if [[ -f "$log" ]]; then sed 's/^/  /' "$log"; else echo "  (no $log)"; fi

stop_server
echo
echo "sandbox root kept at $ROOT"
if [[ $status -ne 0 || $files_ok -ne 0 ]]; then
  echo "demo: FAILED" >&2
  exit 1
fi
echo "demo: the update completed"
