#!/usr/bin/env bash
# Checks the Debian package without installing it:
#
#   scripts/check_package.sh [DEB]
#
# Without DEB it first makes one with scripts/package.sh. The package is
# unpacked into a temporary folder (dpkg-deb -x) and checked there:
#
# - the file list is exactly the expected one, every entry root's, with the
#   expected modes (programs 0755, other files 0644, folders 0755); the PNG
#   icons have the size their folder says;
# - the control file: name, the project's version, this machine's
#   architecture, dependencies found from the programs (libc6, Qt, OpenSSL),
#   the log-on entry listed as a configuration file;
# - lintian reports no error (its warnings and notes are printed);
# - desktop-file-validate on the menu and log-on entries, appstreamcli
#   validate --no-net on the AppStream file, systemd-analyze verify on the
#   unpacked units (with the unpacked programs), man --warnings on the man
#   pages;
# - the maintainer scripts, run against the unpacked tree as DPKG_ROOT (so
#   deb-systemd-helper and systemd-tmpfiles work below it and nothing on
#   this machine changes): configure makes the engine's folders 0700,
#   enables the socket and the boot unit and nothing else, and sets
#   RequireSignedInfo 1 on a new installation only (not on an upgrade nor
#   over a kept settings store); remove masks the units; purge takes the
#   enablement and the trace away and the stores only with
#   QRVUPDATE_PURGE_STORES=yes;
# - the unpacked qrvupdate --console --yes updates the demo products in a
#   sandbox root from the demo update tree served on loopback (made and
#   served by the qrvpublish of the test build, QRV_BUILD_DIR, default
#   build/test), once with the engine in its process and once through the
#   unpacked qrvupdate-engine started by hand on a socket in a second
#   sandbox root; the unpacked qrvctl sets the sandboxes up and reads the
#   levels.
#
# A tool that is missing fails the check when CI=true and is skipped with a
# warning otherwise. Exits 0 when every check passes, 1 otherwise.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

failed=0
fail() {
  echo "check_package: FAIL: $*" >&2
  failed=1
}
say() { echo "check_package: $*"; }

# need TOOL PACKAGE: true when TOOL is there; else fails in CI, warns outside
need() {
  command -v "$1" >/dev/null 2>&1 && return 0
  if [ "${CI:-}" = true ]; then
    fail "$1 is missing: install $2 (scripts/setup.sh)"
  else
    echo "check_package: WARNING: $1 is missing (package $2): its check is SKIPPED" >&2
  fi
  return 1
}

if [ $# -gt 1 ]; then
  echo "usage: $0 [DEB]" >&2
  exit 2
fi
if [ $# -eq 1 ]; then
  deb=$(realpath -e "$1") || exit 2
else
  # the build's lines go to standard error, to be seen (through the open
  # descriptor: tee /dev/stderr would open a log file anew and empty it);
  # the last line is the package
  deb=$(bash scripts/package.sh | tee >(cat >&2) | tail -n 1) ||
    { echo "check_package: FAIL: scripts/package.sh failed" >&2; exit 1; }
fi
say "checking $deb"

work=$(mktemp -d "${TMPDIR:-/tmp}/qrv-package-XXXXXX") || exit 1
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
tree=$work/tree
dpkg-deb -x "$deb" "$tree" || { echo "check_package: FAIL: dpkg-deb -x $deb" >&2; exit 1; }
dpkg-deb -e "$deb" "$work/control" || { echo "check_package: FAIL: dpkg-deb -e $deb" >&2; exit 1; }

# --- file list, owners and modes ---
units=$(pkg-config --variable=systemdsystemunitdir systemd 2>/dev/null)
units=${units:-/usr/lib/systemd/system}
tmpfiles=$(pkg-config --variable=tmpfilesdir systemd 2>/dev/null)
tmpfiles=${tmpfiles:-/usr/lib/tmpfiles.d}
expected=$(
  {
    printf '%s 0755\n' /usr/bin/qrvupdate /usr/bin/qrvctl /usr/libexec/qrvupdate/qrvupdate-engine
    printf '%s 0644\n' \
      "$units"/qrvupdate-engine.socket "$units"/qrvupdate-engine.service "$units"/qrvupdate-pending.service \
      "$tmpfiles"/qrvupdate.conf \
      /usr/share/applications/qrvupdate.desktop \
      /etc/xdg/autostart/qrvupdate.desktop \
      /usr/share/metainfo/com.qorvane.qrvupdate.metainfo.xml \
      /usr/share/icons/hicolor/scalable/apps/qrvupdate.svg \
      /usr/share/man/man1/qrvupdate.1.gz /usr/share/man/man8/qrvctl.8.gz \
      /usr/share/bash-completion/completions/qrvupdate /usr/share/bash-completion/completions/qrvctl \
      /usr/share/doc/qrvupdate/copyright /usr/share/doc/qrvupdate/changelog.gz
    for size in 16 22 24 32 48 64 128 256; do
      echo "/usr/share/icons/hicolor/${size}x${size}/apps/qrvupdate.png 0644"
    done
  } | sort
)
# MODE OWNER PATH for each entry of the package's archive
listing=$(dpkg-deb --fsys-tarfile "$deb" | tar -tvf - --numeric-owner |
  awk '{ sub(/^\.\//, "", $6); print $1, $2, "/" $6 }' | sed 's#/$##')
perm() {  # perm -rwxr-xr-x: 0755 (set-id and sticky bits shown as such)
  awk -v p="$1" 'BEGIN {
    v = 0; s = 0
    for (i = 2; i <= 10; i++) {
      c = substr(p, i, 1); b = 2 ^ (9 - (i - 1))
      if (c == "r" || c == "w" || c == "x") v += b
      if (c == "s" || c == "t") { v += b; s += 2 ^ (2 - int((i - 2) / 3)) }
      if (c == "S" || c == "T") s += 2 ^ (2 - int((i - 2) / 3))
    }
    printf "%o%03o", s, v }'
}
actual=
while read -r mode owner path; do
  [ -n "$path" ] || continue
  [ "$owner" = 0/0 ] || fail "$path belongs to $owner, not root (0/0)"
  case $mode in
    d*)
      [ "$(perm "$mode")" = 0755 ] || fail "folder $path has mode $(perm "$mode"), not 0755"
      ;;
    -*) actual+="$path $(perm "$mode")"$'\n' ;;
    *) fail "$path is no file or folder: $mode" ;;
  esac
done <<<"$listing"
actual=$(sort <<<"${actual%$'\n'}")
if [ "$actual" != "$expected" ]; then
  fail "the files of the package (path mode) differ from the expected ones (< expected, > package):"
  diff <(echo "$expected") <(echo "$actual") | grep '^[<>]' >&2
else
  say "files: the $(wc -l <<<"$actual") expected files with their modes, all root's"
fi
for size in 16 22 24 32 48 64 128 256; do
  png=$tree/usr/share/icons/hicolor/${size}x${size}/apps/qrvupdate.png
  [ -f "$png" ] || continue
  file -b "$png" | grep -q "^PNG image data, $size x $size," ||
    fail "$png is not a $size x $size PNG: $(file -b "$png")"
done
for program in usr/bin/qrvupdate usr/bin/qrvctl usr/libexec/qrvupdate/qrvupdate-engine; do
  [ -f "$tree/$program" ] || continue
  file -b "$tree/$program" | grep -q 'ELF.*, stripped' || fail "/$program is not a stripped ELF program"
  # what only a test build has: sanitizers and the test hooks
  if grep -qa -e '__asan_init' -e '__ubsan_handle' "$tree/$program"; then
    fail "/$program is built with sanitizers"
  fi
done
# the test hooks read QRVUPDATE_TEST_* variables
if grep -qa 'QRVUPDATE_TEST_' "$tree/usr/bin/qrvupdate" "$tree/usr/bin/qrvctl" \
  "$tree/usr/libexec/qrvupdate/qrvupdate-engine" 2>/dev/null; then
  fail "the programs hold test hooks (built with QRV_TEST_HOOKS)"
fi

# --- control file ---
field() { sed -n "s/^$1: //p" "$work/control/control"; }
version=$(sed -n 's/^project(QorvaneUpdate VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[ "$(field Package)" = qrvupdate ] || fail "Package is '$(field Package)', not qrvupdate"
[ -n "$version" ] && [ "$(field Version)" = "$version" ] ||
  fail "Version is '$(field Version)', not the project's '$version'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] ||
  fail "Architecture is '$(field Architecture)', not $(dpkg --print-architecture)"
depends=$(field Depends)
depends_names=$(sed 's/ *([^)]*)//g; s/, */\n/g' <<<"$depends")
for lib in libc6 libstdc++6 libqt6widgets6 libssl3 libcurl4 libsqlite3-0 libmspack0 qt6-qpa-plugins; do
  grep -qxF "$lib" <<<"$depends_names" || fail "Depends does not name $lib: $depends"
done
say "control: qrvupdate $(field Version) $(field Architecture); Depends: $depends"
grep -qx /etc/xdg/autostart/qrvupdate.desktop "$work/control/conffiles" 2>/dev/null ||
  fail "conffiles does not list /etc/xdg/autostart/qrvupdate.desktop"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || fail "the package has no executable $script"
done

# --- lintian ---
if need lintian lintian; then
  lint=$(lintian --tag-display-limit 0 --display-info "$deb" 2>&1)
  status=$?
  lint=$(grep -v '^running with root privileges is not recommended' <<<"$lint")
  if grep -q '^E: ' <<<"$lint" || [ "$status" -ne 0 ]; then
    fail "lintian reports errors (exit $status):"
    echo "$lint" >&2
  else
    say "lintian: no errors; what it says besides:"
    if [ -n "$lint" ]; then sed 's/^/  /' <<<"$lint"; else echo "  (nothing)"; fi
  fi
fi

# --- desktop entries, AppStream, units, man pages ---
if need desktop-file-validate desktop-file-utils; then
  for entry in usr/share/applications/qrvupdate.desktop etc/xdg/autostart/qrvupdate.desktop; do
    out=$(desktop-file-validate "$tree/$entry" 2>&1) || fail "desktop-file-validate /$entry: $out"
    # hints are printed, errors and warnings fail
    if grep -qE ': (error|warning): ' <<<"$out"; then fail "desktop-file-validate /$entry: $out"; fi
    [ -n "$out" ] && say "desktop-file-validate /$entry: $out"
  done
  grep -qx 'Name=Qorvane Update' "$tree/usr/share/applications/qrvupdate.desktop" &&
    grep -q '^Name\[ko\]=' "$tree/usr/share/applications/qrvupdate.desktop" &&
    grep -qx 'Exec=qrvupdate' "$tree/usr/share/applications/qrvupdate.desktop" &&
    grep -qx 'Icon=qrvupdate' "$tree/usr/share/applications/qrvupdate.desktop" &&
    grep -qx 'Categories=System;Settings;' "$tree/usr/share/applications/qrvupdate.desktop" ||
    fail "the menu entry lacks its name, Korean name, Exec, Icon or Categories"
  grep -qx 'Hidden=true' "$tree/etc/xdg/autostart/qrvupdate.desktop" ||
    fail "the log-on entry is not installed disabled (Hidden=true)"
fi
if need appstreamcli appstream; then
  out=$(appstreamcli validate --no-net "$tree/usr/share/metainfo/com.qorvane.qrvupdate.metainfo.xml" 2>&1) ||
    fail "appstreamcli validate --no-net: $out"
fi
if need systemd-analyze systemd; then
  # The units name the installed programs, which verify wants to find: the
  # copies checked name the unpacked ones, and each program a unit names
  # must be in the package.
  mkdir -p "$work/units"
  for unit in qrvupdate-engine.socket qrvupdate-engine.service qrvupdate-pending.service; do
    for program in $(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$tree$units/$unit"); do
      [ -x "$tree$program" ] || fail "$unit starts $program, which the package does not hold"
    done
    sed "s#^ExecStart=/#ExecStart=$tree/#" "$tree$units/$unit" >"$work/units/$unit"
  done
  out=$(cd "$work/units" && systemd-analyze verify --man=no \
    qrvupdate-engine.socket qrvupdate-engine.service qrvupdate-pending.service 2>&1)
  status=$?
  said=$(grep qrvupdate <<<"$out")
  if [ "$status" -ne 0 ] || [ -n "$said" ]; then
    fail "systemd-analyze verify on the unpacked units (exit $status): $out"
  else
    say "systemd-analyze verify: the unpacked units are clean"
  fi
fi
if need man man-db; then
  for page in usr/share/man/man1/qrvupdate.1.gz usr/share/man/man8/qrvctl.8.gz; do
    out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$tree/$page" 2>&1 >/dev/null)
    if [ $? -ne 0 ] || [ -n "$out" ]; then fail "man --warnings /$page: $out"; fi
  done
fi

# --- maintainer scripts, below the unpacked tree as DPKG_ROOT ---
if need deb-systemd-helper init-system-helpers && need systemd-tmpfiles systemd; then
  if ! grep -q DPKG_ROOT "$(command -v deb-systemd-helper)"; then
    fail "this deb-systemd-helper knows no DPKG_ROOT: the maintainer scripts cannot be run aside"
  else
    root=$work/dpkg-root
    cp -a "$tree" "$root"
    run_script() {  # run_script SCRIPT ARGS...: with the root and a PATH that holds no qrvupdate
      env DPKG_ROOT="$root" DPKG_MAINTSCRIPT_PACKAGE=qrvupdate "${extra_env[@]}" \
        sh -e "$work/control/$1" "${@:2}" >"$work/script.out" 2>&1 ||
        fail "$1 $* failed: $(cat "$work/script.out")"
    }
    extra_env=()
    rsi() {  # the RequireSignedInfo value of the settings below the root, or "missing"
      "$root/usr/bin/qrvctl" --root "$root" reg query 'HKLM\SOFTWARE\QRV\Shared\QrvUpdate' RequireSignedInfo 2>/dev/null |
        cut -f3 | grep . || echo missing
    }
    set_rsi() { "$root/usr/bin/qrvctl" --root "$root" reg add 'HKLM\SOFTWARE\QRV\Shared\QrvUpdate' RequireSignedInfo REG_DWORD "$1"; }
    run_script postinst configure
    [ "$(rsi)" = 1 ] || fail "postinst of a new installation leaves RequireSignedInfo $(rsi), not 1"
    for dir in var/lib/qrvupdate var/cache/qrvupdate var/log/qrvupdate; do
      [ "$(stat -c %a "$root/$dir" 2>/dev/null)" = 700 ] || fail "postinst: /$dir is not made 0700"
    done
    wants=$root/etc/systemd/system
    [ -L "$wants/sockets.target.wants/qrvupdate-engine.socket" ] || fail "postinst does not enable qrvupdate-engine.socket"
    [ -L "$wants/multi-user.target.wants/qrvupdate-pending.service" ] ||
      fail "postinst does not enable qrvupdate-pending.service"
    enabled=$(cd "$wants" && find . -name 'qrvupdate*' | sort | tr '\n' ' ')
    [ "$enabled" = "./multi-user.target.wants/qrvupdate-pending.service ./sockets.target.wants/qrvupdate-engine.socket " ] ||
      fail "postinst enabled other than the socket and the boot unit: $enabled"
    # an upgrade keeps a unit the administrator disabled
    rm "$wants/multi-user.target.wants/qrvupdate-pending.service"
    set_rsi 0
    run_script postinst configure "$version"
    [ ! -e "$wants/multi-user.target.wants/qrvupdate-pending.service" ] ||
      fail "an upgrade enabled again the boot unit the administrator had disabled"
    [ "$(rsi)" = 0 ] || fail "an upgrade changed RequireSignedInfo 0 to $(rsi)"
    # nothing starts an update in the scripts: of our programs only qrvctl
    # runs, on the settings store (store reg ...), and only the socket is
    # started
    code=$(grep -vh '^[[:space:]]*#' "$work/control/postinst" "$work/control/prerm" "$work/control/postrm")
    if grep -nE 'bin/qrvupdate|(^|[;&|[:space:]])qrvupdate([[:space:]]|$)|start .*qrvupdate-(pending|engine\.service)' <<<"$code" >&2 ||
      grep -n qrvctl <<<"$code" | grep -vF 'store() { "${DPKG_ROOT:-}/usr/bin/qrvctl" --root' >&2 ||
      grep -nE '(^|[;&|!(]|[[:space:]])store ' <<<"$code" | grep -vE 'store reg (query|add) ' >&2; then
      fail "a maintainer script runs a program of ours (other than qrvctl on the settings store) or starts the engine or the boot run"
    fi
    touch "$root/var/lib/qrvupdate/store.db" "$root/var/cache/qrvupdate/file.cab" "$root/var/log/qrvupdate/QrvUpdate.txt"
    run_script prerm remove
    run_script postrm remove
    [ -L "$wants/qrvupdate-engine.socket" ] && [ "$(readlink "$wants/qrvupdate-engine.socket")" = /dev/null ] ||
      fail "postrm remove does not mask the socket"
    run_script postrm purge
    [ -z "$(cd "$wants" && find . -name 'qrvupdate*')" ] ||
      fail "postrm purge leaves units enabled or masked: $(cd "$wants" && find . -name 'qrvupdate*')"
    [ ! -e "$root/var/log/qrvupdate" ] || fail "postrm purge leaves the trace /var/log/qrvupdate"
    [ -e "$root/var/lib/qrvupdate/store.db" ] && [ -e "$root/var/cache/qrvupdate/file.cab" ] ||
      fail "postrm purge removed the stores unasked"
    grep -q 'QRVUPDATE_PURGE_STORES=yes' "$work/script.out" || fail "postrm purge does not say how to remove the stores"
    # installed again over the stores kept: the settings stay as they were
    run_script postinst configure
    [ "$(rsi)" = 0 ] || fail "an installation over a kept settings store changed RequireSignedInfo 0 to $(rsi)"
    extra_env=(QRVUPDATE_PURGE_STORES=yes)
    run_script postrm purge
    [ ! -e "$root/var/lib/qrvupdate" ] && [ ! -e "$root/var/cache/qrvupdate" ] ||
      fail "postrm purge with QRVUPDATE_PURGE_STORES=yes leaves the stores"
    say "maintainer scripts: configure enables the socket and the boot unit, makes the folders 0700 and" \
      "sets RequireSignedInfo 1 when new; an upgrade keeps a disabled unit and the setting; remove masks;" \
      "purge keeps the stores unless asked"
  fi
fi

# --- the packaged programs update the demo products in a sandbox root ---
build=${QRV_BUILD_DIR:-build/test}
case $build in
  /*) qrvpublish=$build/tools/qrvpublish/qrvpublish ;;
  *) qrvpublish=$here/$build/tools/qrvpublish/qrvpublish ;;
esac
qrvupdate=$tree/usr/bin/qrvupdate
qrvctl=$tree/usr/bin/qrvctl
engine=$tree/usr/libexec/qrvupdate/qrvupdate-engine
engine_pid=
stop_engine() {
  if [ -n "$engine_pid" ]; then
    kill "$engine_pid" 2>/dev/null
    wait "$engine_pid" 2>/dev/null
    engine_pid=
  fi
}
trap 'stop_engine; cleanup' EXIT

# update_demo NAME [--engine=service]: a fresh sandbox root with the demo
# products at level 1, updated by the packaged qrvupdate --console --yes;
# true when both products are at level 2 with the level-2 files
update_demo() {
  local name=$1 sandbox=$work/$1 status levels p key='HKLM\SOFTWARE\QRV\Shared\QrvUpdate'
  shift
  mkdir -p "$sandbox/tmp"
  if ! bash scripts/demo/setup_sandbox.sh "$sandbox" "$out" "$port" "$qrvctl" >"$work/$name.setup.log" 2>&1; then
    fail "setup_sandbox.sh with the packaged qrvctl: $(cat "$work/$name.setup.log")"
    return 1
  fi
  local run=(env -u DISPLAY -u WAYLAND_DISPLAY -u QRVUPDATE_ROOT TMPDIR="$sandbox/tmp")
  if [ "${1:-}" = --engine=service ]; then
    # the packaged engine, started by hand on a socket in the sandbox, as
    # the service would be by systemd
    "${run[@]}" "$engine" --root "$sandbox" --socket "$sandbox/engine.socket" --idle-timeout 60000 \
      >"$work/$name.engine.log" 2>&1 &
    engine_pid=$!
    local waited=0
    while [ ! -S "$sandbox/engine.socket" ] && kill -0 "$engine_pid" 2>/dev/null && [ "$waited" -lt 100 ]; do
      sleep 0.1
      waited=$((waited + 1))
    done
    if [ ! -S "$sandbox/engine.socket" ]; then
      fail "the packaged qrvupdate-engine made no socket within 10 s: $(cat "$work/$name.engine.log")"
      stop_engine
      return 1
    fi
    run+=(QRVUPDATE_ENGINE_SOCKET="$sandbox/engine.socket")
  fi
  "${run[@]}" "$qrvupdate" --console --root "$sandbox" --yes "$@" >"$work/$name.run.log" 2>&1 </dev/null
  status=$?
  stop_engine
  levels=
  for p in QrvBase QrvWriter; do
    levels+="$p=$("$qrvctl" --root "$sandbox" reg query "$key\\$p" ProductVersion | cut -f3) "
  done
  if [ "$status" -ne 0 ]; then
    fail "the packaged qrvupdate --console --yes $* exited with $status: $(cat "$work/$name.run.log")"
  elif [ "$levels" != "QrvBase=2 QrvWriter=2 " ]; then
    fail "after the packaged qrvupdate's run ($*) the levels are $levels, not 2: $(cat "$work/$name.run.log")"
  elif ! diff -r "$out/expected/QrvBase" "$sandbox/opt/qorvane/QrvBase" >&2 ||
    ! diff -r "$out/expected/QrvWriter" "$sandbox/opt/qorvane/QrvWriter" >&2; then
    fail "after the packaged qrvupdate's run ($*) the products' files are not the level-2 ones"
  else
    return 0
  fi
  return 1
}

if [ ! -x "$qrvpublish" ]; then
  fail "no $qrvpublish to make and serve the demo tree (build it, or set QRV_BUILD_DIR)"
elif [ -x "$qrvupdate" ] && [ -x "$qrvctl" ] && [ -x "$engine" ]; then
  out=$work/demo-tree
  mkdir -p "$work/tree-root"
  # qrvpublish of a sanitizer build: its leak report would be noise here
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
  if ! QRVPUBLISH=$qrvpublish bash scripts/demo/make_update_tree.sh "$work/tree-root" "$out" >"$work/tree.log" 2>&1; then
    fail "make_update_tree.sh: $(cat "$work/tree.log")"
  else
    # shellcheck source=demo/first_line.sh
    source scripts/demo/first_line.sh
    "$qrvpublish" serve "$out/updates" --port 0 >"$work/serve.port" 2>"$work/serve.log" &
    server_pid=$!
    if port=$(first_line "$work/serve.port" "$server_pid" "check_package: qrvpublish serve" "$work/serve.log"); then
      update_demo in-process &&
        say "the packaged qrvupdate --console --yes updated the demo products to level 2 in a sandbox root"
      update_demo service --engine=service &&
        say "... and so it did through the packaged qrvupdate-engine (--engine=service)"
    else
      fail "qrvpublish serve did not start"
    fi
  fi
fi

if [ "$failed" -ne 0 ]; then
  echo "check_package: FAILED" >&2
  exit 1
fi
say "the package passes"
