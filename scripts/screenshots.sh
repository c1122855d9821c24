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
# and of the automatic run (qrvupdate --auto), in the notification area:
#   auto-balloon.png        the whole screen: the tray with the run's icon and
#                           its balloon "Update available."
#   auto-menu.png           the icon's menu (About, Show, Exit) popped up by a
#                           right click, with the tray above it
#   auto-copy.png           the automatic window during the copy
#
# How: builds qrvctl and the picture driver qrv_ui_pictures (tests/ui/pictures)
# in build/screenshots (Release), starts Xvfb on a free display with a
# private session bus and a tray host (trayer) on it, makes the demo's signed
# update tree and serves it on loopback (as scripts/demo.sh does), and for
# each language sets up a fresh sandbox root (mktemp -d) with the demo
# products at level 1 and runs the real interactive window against it, then a
# second fresh root for the automatic run with a notification daemon (dunst,
# started anew so that no balloon of the run before shows). The driver
# answers the message boxes itself and raises the balloon click. Xvfb, the
# bus, the tray host, the daemon, the server and the sandbox go when the
# script ends, also on failure or Ctrl-C.
#
# Needs the packages of scripts/setup.sh: Xvfb, trayer, dunst, dbus-daemon
# and a Korean font (fonts-nanum).
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
for tool in Xvfb:xvfb trayer:trayer dunst:dunst dbus-daemon:dbus-daemon; do
  command -v "${tool%%:*}" >/dev/null ||
    { echo "screenshots: ${tool%%:*} is not installed (apt-get install ${tool#*:})" >&2; exit 1; }
done

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
for _ in 1 2; do cmake --build "$build" -j 2 --target qrvctl qrvpublish qrv_ui_pictures; done
QRVCTL=$here/$build/tools/qrvctl/qrvctl
QRVPUBLISH=$here/$build/tools/qrvpublish/qrvpublish
DRIVER=$here/$build/tests/ui/pictures/qrv_ui_pictures
export QRVCTL QRVPUBLISH

work=$(mktemp -d)
xvfb_pid=''
server_pid=''
bus_pid=''
tray_pid=''
dunst_pid=''
cleanup() {
  for pid in $dunst_pid $tray_pid $bus_pid $server_pid $xvfb_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Xvfb picks a free display number itself and writes it to the given fd.
# A black root: the full-screen picture shows the tray, not X's stipple.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -br -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
display=$(first_line "$work/display" "$xvfb_pid" "screenshots: Xvfb" "$work/xvfb.log")
echo "screenshots: Xvfb on :$display"

# The desktop of the automatic run: a session bus of our own (the driver and
# the daemon meet on it, and nothing reaches the user's), and a tray host at
# the screen's top right, where a panel's notification area usually is.
# Both run with the display and the bus in their environment, so that a
# service the bus starts by itself would draw on Xvfb too.
export DISPLAY=":$display"
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime"
dbus-daemon --session --nofork --nopidfile --address="unix:path=$work/bus" --print-address=3 \
  3>"$work/bus.address" 2>"$work/bus.log" &
bus_pid=$!
DBUS_SESSION_BUS_ADDRESS=$(first_line "$work/bus.address" "$bus_pid" "screenshots: dbus-daemon" "$work/bus.log")
export DBUS_SESSION_BUS_ADDRESS
trayer --edge top --align right --widthtype request --height 24 --SetDockType false --SetPartialStrut false \
  --transparent false --tint 0xd8d8d8 --padding 4 >"$work/trayer.log" 2>&1 &
tray_pid=$!
# The daemon's own look, the same whatever the user's configuration: below
# the tray, a font with Hangul, the title (the program's name) in bold, no
# "(A)" before it (dunst's mark for a notification with an action).
cat >"$work/dunstrc" <<'EOF'
[global]
    origin = top-right
    offset = 10x34
    width = 320
    font = Sans 10
    frame_width = 2
    frame_color = "#7f7f7f"
    format = "<b>%s</b>\n%b"
    icon_position = left
    show_indicators = no
    max_icon_size = 32
[urgency_normal]
    background = "#f4f4f4"
    foreground = "#202020"
EOF

tree=$work/demo-tree
mkdir -p "$work/root-tree"
bash scripts/demo/make_update_tree.sh "$work/root-tree" "$tree"
/usr/bin/python3 scripts/demo/serve.py "$tree/updates" 0 >"$work/serve.port" 2>"$work/serve.log" &
server_pid=$!
port=$(first_line "$work/serve.port" "$server_pid" "screenshots: the server" "$work/serve.log")

# The string table takes its language from LC_ALL, LC_MESSAGES, then LANG;
# LC_CTYPE stays C.UTF-8 so that a locale not generated here does no harm.
# A window left waiting (a box the driver does not answer) ends after 300 s.
# Qt's runtime folder lives in the work folder too (XDG_RUNTIME_DIR above).
status=0
for lang in en:C.UTF-8 ko:ko_KR.UTF-8; do
  prefix=${lang%%:*}
  in_lang=(env -u LC_ALL -u LC_MESSAGES -u LANGUAGE -u QRVUPDATE_ROOT LANG="${lang#*:}" LC_CTYPE=C.UTF-8
          QT_QPA_PLATFORM=xcb)
  root=$work/root-$prefix
  mkdir -p "$root"
  bash scripts/demo/setup_sandbox.sh "$root" "$tree" "$port"
  echo "screenshots: $prefix pictures"
  "${in_lang[@]}" timeout 300 "$DRIVER" "$root" "$out" "$prefix" || status=1

  # The automatic run starts from level 1 again, with a daemon of its own.
  root=$work/root-$prefix-auto
  mkdir -p "$root"
  bash scripts/demo/setup_sandbox.sh "$root" "$tree" "$port"
  echo "screenshots: $prefix pictures of the automatic run"
  "${in_lang[@]}" dunst -config "$work/dunstrc" >"$work/dunst-$prefix.log" 2>&1 &
  dunst_pid=$!
  "${in_lang[@]}" timeout 300 "$DRIVER" --auto "$root" "$out" "$prefix" || status=1
  kill "$dunst_pid" 2>/dev/null || true
  wait "$dunst_pid" 2>/dev/null || true
  dunst_pid=''
done
[[ $status -eq 0 ]] || { echo "screenshots: some pictures are missing" >&2; exit 1; }
echo "screenshots: the pictures are in $out"
