#!/usr/bin/env bash
# make_update_tree.sh ROOT_DIR OUT_DIR
#
# Builds the demo's update tree: what an update server offers to lift the two
# demo products (QrvBase and QrvWriter, installed at level 1 by
# setup_sandbox.sh) to level 2. The release is described in release.toml
# beside this script and built and signed by qrvpublish (the program named by
# the environment variable QRVPUBLISH, else qrvpublish on PATH); the keys are
# made here, at run time, with openssl. Nothing of it is ever committed.
#
# ROOT_DIR is the sandbox root the tree is meant for; it is only checked to
# exist (the tree itself holds no absolute paths, so the same tree serves any
# root).
#
# OUT_DIR afterwards holds:
#   anchors.pem    the demo CA, to be named by the settings' TrustAnchors
#   pki/           the CA's and the maker's keys and certificates (work files;
#                  never served)
#   updates/       the served folder (serve.py OUT_DIR/updates PORT):
#     qupdate_s.ini                  levels, versions, counts, dependency, notes,
#                                    the release's serial and expiry, and the
#                                    product files' sizes and hashes (made by
#                                    qrvpublish build)
#     QrvBase.ini, QrvWriter.ini     the product files: file lists with each
#                                    cabinet's size and hash, and actions
#     *.ini.p7s                      their detached CMS signatures
#     QrvBase.txt, QrvWriter.txt     the description texts (UPDATEINFOPATH)
#     QrvBase/base.cab               signed cabinets with sub-folders
#     QrvWriter/writer.cab
#     QrvWriter/spell.cab            the Spell feature's files
#   expected/      what each product's installation folder must hold after
#                  the update, file by file (for checking a run)
#
# Exit status 0 when the tree is complete, "qrvpublish check" finds no fault,
# every cabinet verifies with osslsigncode and every information file with
# "openssl cms" against anchors.pem; 1 with
# the failing step on standard error; 2 on a usage error.
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 ROOT_DIR OUT_DIR" >&2
  exit 2
fi
if [ ! -d "$1" ]; then
  echo "make_update_tree: the sandbox root $1 is not a folder" >&2
  exit 2
fi
mkdir -p "$2"
out=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
qrvpublish=${QRVPUBLISH:-$(command -v qrvpublish || true)}
if [ -z "$qrvpublish" ] || [ ! -x "$qrvpublish" ]; then
  echo "make_update_tree: no qrvpublish program: set QRVPUBLISH to the one of your build" >&2
  exit 2
fi
pki=$out/pki
srv=$out/updates
rm -rf "$pki" "$srv" "$out/expected" "$out/work"
mkdir -p "$pki" "$out/expected" "$out/work"
log=$pki/log.txt
: >"$log"

fail() {
  echo "make_update_tree: $*" >&2
  tail -n 20 "$log" >&2 || true
  exit 1
}
run() { "$@" >>"$log" 2>&1 || fail "failed: $*"; }

for tool in openssl osslsigncode; do
  command -v "$tool" >/dev/null 2>&1 || fail "$tool is not installed (scripts/setup.sh installs it)"
done

# --- the demo CA and the maker's code-signing certificate ---
# The signature check accepts only a signer whose O and CN both start with
# "QORVANE. INC" in quoted form, which the comma in the name brings about.
cat >"$pki/ext.cnf" <<'EOF'
[ ca ]
basicConstraints = critical,CA:true
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[ codesign ]
basicConstraints = CA:false
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF
# The CA's key is P-256 (made at once); the maker's is RSA, as code-signing
# keys commonly are.
run openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$pki/ca.key"
run openssl req -new -key "$pki/ca.key" -subj "/C=KR/O=Qorvane Demo/CN=Qorvane Demo CA" -out "$pki/ca.csr"
run openssl x509 -req -in "$pki/ca.csr" -signkey "$pki/ca.key" -sha256 -days 3650 \
  -extfile "$pki/ext.cnf" -extensions ca -out "$pki/ca.pem"
run openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$pki/maker.key"
run openssl req -new -key "$pki/maker.key" \
  -subj "/C=KR/ST=Gyeonggi-do/L=Seongnam-si/O=QORVANE. INC, Ltd/CN=QORVANE. INC, Ltd" -out "$pki/maker.csr"
run openssl x509 -req -in "$pki/maker.csr" -CA "$pki/ca.pem" -CAkey "$pki/ca.key" -CAcreateserial \
  -sha256 -days 1825 -extfile "$pki/ext.cnf" -extensions codesign -out "$pki/maker.pem"
cp "$pki/ca.pem" "$out/anchors.pem"

# --- the files of level 2 ---
# Each file goes into its cabinet's work folder and, as the installation
# folder must hold it after the update, into expected/.
put() {  # put PRODUCT CABINET RELATIVE TEXT
  local product=$1 cab=$2 rel=$3 text=$4
  mkdir -p "$(dirname "$out/work/$product/$cab/$rel")" "$(dirname "$out/expected/$product/$rel")"
  printf '%s\n' "$text" >"$out/work/$product/$cab/$rel"
  cp "$out/work/$product/$cab/$rel" "$out/expected/$product/$rel"
}
put QrvBase base Bin/qrvbase "#!/bin/sh
echo 'Qorvane Base 2.0 (demo)'"
put QrvBase base lib/qrvbase.conf "level=2"
put QrvBase base share/fonts/README.txt "Fonts shared by the Qorvane demo products, level 2."
put QrvWriter writer Bin/qrvwriter "#!/bin/sh
echo 'Qorvane Writer 2.0 (demo)'"
put QrvWriter writer share/templates/letter.txt "Dear reader, this template came with level 2."
put QrvWriter spell dict/en_US.dic "3
colour
qorvane
writer"
put QrvWriter spell dict/README.txt "Spelling dictionaries of the Spell feature, level 2."

# --- the tree: qupdate_s.ini, product files, notes and signed cabinets ---
cp "$here/release.toml" "$out/work/release.toml"
run "$qrvpublish" build "$out/work/release.toml" "$srv" --cert "$pki/maker.pem" --key "$pki/maker.key"
run "$qrvpublish" check "$srv" --anchors "$out/anchors.pem"
for cab in "$srv"/*/*.cab; do
  run osslsigncode verify -CAfile "$out/anchors.pem" -in "$cab"
done
# "-purpose any": the maker's certificate is for code signing, not e-mail.
for info in "$srv"/*.ini; do
  run openssl cms -verify -binary -inform DER -content "$info" -in "$info.p7s" -CAfile "$out/anchors.pem" \
    -purpose any -out /dev/null
done
rm -rf "$out/work"

echo "make_update_tree: made $(find "$srv" -name '*.cab' | wc -l) signed cabinets in $srv"
