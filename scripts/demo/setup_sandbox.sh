#!/usr/bin/env bash
# setup_sandbox.sh ROOT_DIR TREE_DIR PORT [QRVCTL]
#
# Turns ROOT_DIR into a machine with the two demo products installed at
# update level 1, set up to update from the demo server on 127.0.0.1:PORT:
#
#   ROOT_DIR/opt/qorvane/QrvBase/     level-1 files of Qorvane Base
#   ROOT_DIR/opt/qorvane/QrvWriter/   level-1 files of Qorvane Writer
#   ROOT_DIR/etc/qorvane/demo-anchors.pem   copy of TREE_DIR/anchors.pem
#   ROOT_DIR/var/cache/qrvupdate/     the download folder (DownloadPath)
#   registry (below ROOT_DIR/var/lib/qrvupdate/), imported with qrvctl:
#     HKLM\SOFTWARE\QRV\Shared\QrvUpdate         ServerType 1, QrvServerPath
#         and ServerPath http://127.0.0.1:PORT/AUpdate70.jsp, DownloadPath,
#         Auto 1, Term 1, TrustAnchors
#     ...\QrvUpdate\QrvBase, ...\QrvUpdate\QrvWriter   Product, ProductName,
#         Pidkey, FilePath, ProductPath, ProductVersion 1, DisplayVersion
#     ...\QrvUpdate\QrvWriter\Spell   the Spell feature is installed
#
# TREE_DIR is the OUT_DIR of make_update_tree.sh (its anchors.pem is
# trusted). QRVCTL is the qrvctl program: the fourth argument, else the
# environment variable QRVCTL. Nothing outside ROOT_DIR is touched.
#
# Exit status 0 when set up; 1 with the failing step on standard error; 2 on
# a usage error.
set -euo pipefail

usage() {
  echo "usage: $0 ROOT_DIR TREE_DIR PORT [QRVCTL]   (or QRVCTL=... in the environment)" >&2
  exit 2
}
[ $# -eq 3 ] || [ $# -eq 4 ] || usage
qrvctl=${4:-${QRVCTL:-}}
[ -n "$qrvctl" ] || usage
[ -x "$qrvctl" ] || { echo "setup_sandbox: $qrvctl is not an executable qrvctl" >&2; exit 2; }
[ -d "$1" ] || { echo "setup_sandbox: the sandbox root $1 is not a folder" >&2; exit 2; }
[ -f "$2/anchors.pem" ] || { echo "setup_sandbox: $2/anchors.pem is missing (run make_update_tree.sh first)" >&2; exit 2; }
case $3 in
  '' | *[!0-9]*) echo "setup_sandbox: the port \"$3\" is not a number" >&2; exit 2 ;;
esac
if [ "$3" -lt 1 ] || [ "$3" -gt 65535 ]; then
  echo "setup_sandbox: the port $3 is not from 1 to 65535" >&2
  exit 2
fi

root=$(cd "$1" && pwd)
tree=$(cd "$2" && pwd)
port=$3
service=http://127.0.0.1:$port/AUpdate70.jsp

# Files are installed and the registry store is written below the root; with
# "/" that would be the real machine.
[ "$root" != / ] || { echo "setup_sandbox: refusing to set up the real system root /" >&2; exit 2; }

# --- the installed files of level 1 ---
install_file() {  # install_file RELATIVE TEXT
  mkdir -p "$(dirname "$root/opt/qorvane/$1")"
  printf '%s\n' "$2" >"$root/opt/qorvane/$1"
}
install_file QrvBase/Bin/qrvbase "#!/bin/sh
echo 'Qorvane Base 1.0 (demo)'"
install_file QrvBase/lib/qrvbase.conf "level=1"
install_file QrvWriter/Bin/qrvwriter "#!/bin/sh
echo 'Qorvane Writer 1.0 (demo)'"
install_file QrvWriter/share/templates/letter.txt "Dear reader, this template came with level 1."
chmod 755 "$root/opt/qorvane/QrvBase/Bin/qrvbase" "$root/opt/qorvane/QrvWriter/Bin/qrvwriter"
mkdir -p "$root/etc/qorvane" "$root/var/cache/qrvupdate"
cp "$tree/anchors.pem" "$root/etc/qorvane/demo-anchors.pem"

# --- the registry: one REGEDIT4 file, imported by qrvctl in one go ---
# One import instead of a reg add per value: a single process and a single
# transaction, so a failure leaves no half-made machine behind.
sz() {  # sz TEXT: a REGEDIT4 string, with '\' and '"' escaped
  local t=${1//\\/\\\\}
  printf '"%s"' "${t//\"/\\\"}"
}
product() {  # product KEY NAME PIDKEY MAIN-FILE DISPLAY-VERSION
  cat <<EOF

[HKEY_LOCAL_MACHINE\\SOFTWARE\\QRV\\Shared\\QrvUpdate\\$1]
"Product"=$(sz "$1")
"ProductName"=$(sz "$2")
"Pidkey"=$(sz "$3")
"FilePath"=$(sz "$root/opt/qorvane/$1/$4")
"ProductPath"=$(sz "$root/opt/qorvane/$1/")
"ProductVersion"=dword:00000001
"DisplayVersion"=$(sz "$5")
EOF
}
regfile=$root/var/cache/qrvupdate-demo.reg
{
  cat <<EOF
REGEDIT4

[HKEY_LOCAL_MACHINE\\SOFTWARE\\QRV\\Shared\\QrvUpdate]
"ServerType"=dword:00000001
"QrvServerPath"=$(sz "$service")
"ServerPath"=$(sz "$service")
"DownloadPath"=$(sz "$root/var/cache/qrvupdate")
"Auto"=dword:00000001
"Term"=dword:00000001
"TrustAnchors"=$(sz "$root/etc/qorvane/demo-anchors.pem")
EOF
  product QrvBase "Qorvane Base (demo)" DEMO-QRVBASE-0001 Bin/qrvbase "1.0.0 (demo)"
  product QrvWriter "Qorvane Writer (demo)" DEMO-QRVWRITER-0001 Bin/qrvwriter "1.0.0 (demo)"
  # A feature is a subkey of its product's record; its value says what it is.
  cat <<EOF

[HKEY_LOCAL_MACHINE\\SOFTWARE\\QRV\\Shared\\QrvUpdate\\QrvWriter\\Spell]
"ProductName"="Spelling dictionaries"
EOF
} >"$regfile"
"$qrvctl" --root "$root" reg import "$regfile" >/dev/null ||
  { echo "setup_sandbox: qrvctl --root $root reg import $regfile failed" >&2; exit 1; }
rm -f "$regfile"

echo "setup_sandbox: QrvBase and QrvWriter installed at level 1 below $root, updating from $service"
