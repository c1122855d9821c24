#!/usr/bin/env bash
# screenshots.sh DIR — pictures of the update windows, for people to look at
# (not a test: nothing is compared). Writes into DIR, once in English (en-*)
# and once in Korean (ko-*):
#   standby.png             "Finding components to update." while the server is asked
#   list.png                the product list with the two demo products, one selected
#   download.png            the download page during the run
#   after.png               the list after the run ("You are using the latest version.")
#   settings-internet.png, settings-network.png, settings-ftp.png
#                           the settings dialog with each server type chosen
#   about.png               the About box
#
# How: builds qrvctl and the picture driver qrv_ui_pictures (tests/ui/pictures)
# in build/screenshots (Release), starts Xvfb on a free display, makes the
# demo's signed update tree and serves it on loopback (as scripts/demo.sh
# does), and for each language sets up a fresh sandbox root (mktemp -d) with
# the demo products at level 1 and runs the real window against it; the
# driver answers the message boxes itself. Xvfb, the server and the sandbox
# go when the script ends, also on failure or Ctrl-C.
#
# Needs the packages of scripts/setup.sh, Xvfb and a Korean font (fonts-nanum).
# Environment: QRV_SCREENSHOTS_BUILD_DIR overrides build/screenshots (an
# already configured folder keeps its configuration).
#
# Exit status: 0 when every picture was written, non-zero otherwise.
set -euo pipefail
if [[ $# -ne 1 ]]; then
  echo "usage: $0 DIR" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
out=$(cd "$1" && pwd)
cd "$here"
# shellcheck source=demo/first_line.sh
source scripts/demo/first_line.sh
command -v Xvfb >/dev/null || { echo "screenshots: Xvfb is not installed (apt-get install xvfb)" >&2; exit 1; }

build=${QRV_SCREENSHOTS_BUILD_DIR:-build/screenshots}
if [[ ! -f "$build/build.ninja" ]]; then
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DQRV_BUILD_TESTS=ON -DQRV_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
fi
# Twice: the first build regenerates the headers of changed forms (AUTOUIC)
# after Ninja has already decided what to compile, so the second one is what
# compiles them in.
for _ in 1 2; do cmake --build "$build" -j 2 --target qrvctl qrv_ui_pictures; done
QRVCTL=$here/$build/tools/qrvctl/qrvctl
DRIVER=$here/$build/tests/ui/pictures/qrv_ui_pictures
export QRVCTL

work=$(mktemp -d)
xvfb_pid=''
server_pid=''
cleanup() {
  for pid in $server_pid $xvfb_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Xvfb picks a free display number itself and writes it to the given fd.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
display=$(first_line "$work/display" "$xvfb_pid" "screenshots: Xvfb" "$work/xvfb.log")
echo "screenshots: Xvfb on :$display"

tree=$work/demo-tree
mkdir -p "$work/root-tree"
bash scripts/demo/make_update_tree.sh "$work/root-tree" "$tree"
/usr/bin/python3 scripts/demo/serve.py "$tree/updates" 0 >"$work/serve.port" 2>"$work/serve.log" &
server_pid=$!
port=$(first_line "$work/serve.port" "$server_pid" "screenshots: the server" "$work/serve.log")

# The string table takes its language from LC_ALL, LC_MESSAGES, then LANG;
# LC_CTYPE stays C.UTF-8 so that a locale not generated here does no harm.
# A window left waiting (a box the driver does not answer) ends after 300 s.
# Qt's runtime folder lives in the work folder too.
mkdir -m 700 "$work/runtime"
status=0
for lang in en:C.UTF-8 ko:ko_KR.UTF-8; do
  prefix=${lang%%:*}
  root=$work/root-$prefix
  mkdir -p "$root"
  bash scripts/demo/setup_sandbox.sh "$root" "$tree" "$port"
  echo "screenshots: $prefix pictures"
  env -u LC_ALL -u LC_MESSAGES -u LANGUAGE -u QRVUPDATE_ROOT LANG="${lang#*:}" LC_CTYPE=C.UTF-8 \
    DISPLAY=":$display" QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$work/runtime" \
    timeout 300 "$DRIVER" "$root" "$out" "$prefix" || status=1
done
[[ $status -eq 0 ]] || { echo "screenshots: some pictures are missing" >&2; exit 1; }
echo "screenshots: the pictures are in $out"
