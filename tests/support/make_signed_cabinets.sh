#!/usr/bin/env bash
# make_signed_cabinets.sh OUTDIR
#
# Makes the signed-cabinet fixtures at test time: a test PKI (openssl CLI),
# uncompressed cabinets (gcab), Authenticode signatures and RFC 3161
# timestamps (osslsigncode, with its built-in timestamp authority so no
# server is needed), and damaged copies. Nothing here is ever committed.
#
# OUTDIR afterwards holds:
#   anchors.pem            the test root CA (the trust anchor the tests use)
#   untrusted-anchor.pem   a second root that the tests never trust
#   pki/                   keys, requests and certificates (work files)
#   *.cab                  the fixtures listed in the table at the end
#
# Exit status 0 when every fixture was made and the good ones verify with
# osslsigncode; otherwise 1 with the failing step on standard error.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 OUTDIR" >&2
  exit 2
fi
out=$1
mkdir -p "$out/pki/db/new" "$out/data"
out=$(cd "$out" && pwd)
pki=$out/pki
log=$pki/log.txt
: >"$log"

fail() {
  echo "make_signed_cabinets: $*" >&2
  tail -n 30 "$log" >&2 || true
  exit 1
}
run() { "$@" >>"$log" 2>&1 || fail "failed: $*"; }

# --- certificate authority database shared by every issuer ---
: >"$pki/db/index.txt"
echo 1000 >"$pki/db/serial"
cat >"$pki/ca.cnf" <<EOF
[ ca ]
default_ca = test_ca
[ test_ca ]
database = $pki/db/index.txt
new_certs_dir = $pki/db/new
serial = $pki/db/serial
default_md = sha256
policy = policy_any
preserve = yes
unique_subject = no
email_in_dn = yes
copy_extensions = none
[ policy_any ]
countryName = optional
stateOrProvinceName = optional
localityName = optional
organizationName = optional
organizationalUnitName = optional
commonName = optional
emailAddress = optional
[ req ]
distinguished_name = req_dn
prompt = no
[ req_dn ]
CN = request
[ root ]
basicConstraints = critical,CA:true
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[ intermediate ]
basicConstraints = critical,CA:true,pathlen:0
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ codesign ]
basicConstraints = CA:false
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ serverauth ]
basicConstraints = CA:false
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
[ keyencipherment ]
basicConstraints = CA:false
keyUsage = critical,keyEncipherment
extendedKeyUsage = codeSigning
[ nousage ]
basicConstraints = CA:false
keyUsage = critical,digitalSignature
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ tsa ]
basicConstraints = CA:false
keyUsage = critical,digitalSignature
extendedKeyUsage = critical,timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF

# Every certificate is valid from 2015 to 2045 unless said otherwise, so a
# timestamp in 2020 lies inside the chain's lifetime.
start=20150101000000Z
end=20450101000000Z

# issue NAME SUBJECT ISSUER|self EXTENSIONS [START END]
# Keys are P-256 (quick to make); the maker's is RSA, the common case, and
# the only one an MD5 signature can be made with.
issue() {
  local name=$1 subject=$2 issuer=$3 ext=$4 from=${5:-$start} to=${6:-$end}
  if [ "$name" = maker ]; then
    run openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$pki/$name.key"
  else
    run openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$pki/$name.key"
  fi
  run openssl req -new -config "$pki/ca.cnf" -key "$pki/$name.key" -out "$pki/$name.csr"
  local signer=(-cert "$pki/$issuer.pem" -keyfile "$pki/$issuer.key")
  [ "$issuer" = self ] && signer=(-selfsign -keyfile "$pki/$name.key")
  run openssl ca -batch -notext -config "$pki/ca.cnf" "${signer[@]}" -in "$pki/$name.csr" \
    -subj "$subject" -extensions "$ext" -startdate "$from" -enddate "$to" -out "$pki/$name.pem"
}

issue root "/C=KR/O=Qorvane Test Root/CN=Qorvane Test Root CA" self root
issue inter "/C=KR/O=Qorvane Test Root/CN=Qorvane Test Code Signing CA" root intermediate
issue stranger "/C=KR/O=Stranger Root/CN=Stranger Root CA" self root
maker="/C=KR/ST=Gyeonggi-do/L=Seongnam-si/O=QORVANE. INC, Ltd/CN=QORVANE. INC, Ltd"
issue maker "$maker" inter codesign
issue nocomma "/C=KR/O=QORVANE. INC Ltd/CN=QORVANE. INC Ltd" inter codesign
issue other "/C=DE/O=Other Software, GmbH/CN=Other Software, GmbH" inter codesign
issue othercn "/C=KR/O=QORVANE. INC, Ltd/CN=Build Robot, Qorvane" inter codesign
issue expired "$maker" inter codesign 20200101000000Z 20210101000000Z
issue untrusted "$maker" stranger codesign
issue serverauth "$maker" inter serverauth
issue keyenc "$maker" inter keyencipherment
issue tsa "/C=KR/O=Qorvane Test Root/CN=Qorvane Test Time Stamping" inter tsa
issue tsanoeku "/C=KR/O=Qorvane Test Root/CN=Qorvane Test Wrong Stamper" inter codesign
issue tsanone "/C=KR/O=Qorvane Test Root/CN=Qorvane Test Stamper Without Usage" inter nousage
issue tsaold "/C=KR/O=Qorvane Test Root/CN=Qorvane Test Old Stamper" inter tsa 20150101000000Z 20160101000000Z
issue tsastranger "/C=KR/O=Stranger Root/CN=Stranger Time Stamping" stranger tsa

cp "$pki/root.pem" "$out/anchors.pem"
cp "$pki/stranger.pem" "$out/untrusted-anchor.pem"
for c in maker nocomma other othercn expired serverauth keyenc tsa tsanoeku tsaold; do
  cat "$pki/$c.pem" "$pki/inter.pem" >"$pki/$c.chain.pem"
done
for c in untrusted tsastranger; do
  cat "$pki/$c.pem" "$pki/stranger.pem" >"$pki/$c.chain.pem"
done

# --- the unsigned cabinet: a few files, stored uncompressed ---
printf 'Qorvane Update test payload\r\n' >"$out/data/readme.txt"
for i in $(seq 1 400); do printf 'line %04d of the update payload\n' "$i"; done >"$out/data/lines.txt"
head -c 6000 /dev/zero | tr '\0' 'Q' >"$out/data/blob.bin"
run gcab -c -n "$out/unsigned.cab" "$out/data/readme.txt" "$out/data/lines.txt" "$out/data/blob.bin"
rm -rf "$out/data"

# sign OUTPUT CERT HASH [osslsigncode options...]
sign() {
  local name=$1 cert=$2 hash=$3
  shift 3
  run osslsigncode sign -certs "$pki/$cert.chain.pem" -key "$pki/$cert.key" -h "$hash" \
    -n "Qorvane Update test" "$@" -in "$out/unsigned.cab" -out "$out/$name.cab"
}
ts2020=1590969600  # 2020-06-01, inside the expired certificate's lifetime
tsnow=$(date +%s)

sign maker-sha256 maker sha256
sign maker-sha1 maker sha1
sign maker-sha384 maker sha384
sign maker-sha512 maker sha512
sign maker-md5 maker md5
sign maker-ts maker sha256 -TSA-certs "$pki/tsa.chain.pem" -TSA-key "$pki/tsa.key" -TSA-time "$tsnow"
sign nocomma nocomma sha256
sign other other sha256
sign othercn othercn sha256
sign expired expired sha256
sign expired-ts expired sha256 -TSA-certs "$pki/tsa.chain.pem" -TSA-key "$pki/tsa.key" -TSA-time "$ts2020"
# osslsigncode refuses a stamper without the time-stamping purpose, so that
# case is built by the tests themselves (tsanoeku, with the code-signing
# usage only, and tsanone, with no extended key usage, are there for them); an
# expired stamper it does not check.
sign expired-ts-oldtsa expired sha256 \
  -TSA-certs "$pki/tsaold.chain.pem" -TSA-key "$pki/tsaold.key" -TSA-time "$ts2020"
sign expired-ts-untrusted expired sha256 \
  -TSA-certs "$pki/tsastranger.chain.pem" -TSA-key "$pki/tsastranger.key" -TSA-time "$ts2020"
sign untrusted untrusted sha256
sign serverauth serverauth sha256
sign keyenc keyenc sha256

# --- damaged copies ---
u8() { od -An -tu1 -j "$2" -N1 "$1" | tr -d ' \n'; }
u32() { echo $(( $(u8 "$1" "$2") | $(u8 "$1" $(($2 + 1))) << 8 | $(u8 "$1" $(($2 + 2))) << 16 | $(u8 "$1" $(($2 + 3))) << 24 )); }
flip() {  # flip FILE OFFSET: invert every bit of one byte
  local v
  v=$(( $(u8 "$1" "$2") ^ 255 ))
  printf "\\$(printf '%03o' "$v")" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
good=$out/maker-sha256.cab
size=$(stat -c %s "$good")
sigoff=$(u32 "$good" 44)
# the DER length of the PKCS#7 (30 82 hi lo), without osslsigncode's padding
derlen=$(( 4 + $(u8 "$good" $((sigoff + 2))) * 256 + $(u8 "$good" $((sigoff + 3))) ))

cp "$good" "$out/flip-data.cab" && flip "$out/flip-data.cab" $((sigoff - 100))
cp "$good" "$out/flip-header.cab" && flip "$out/flip-header.cab" 32
cp "$good" "$out/flip-reserved.cab" && flip "$out/flip-reserved.cab" 5
cp "$good" "$out/flip-sigheader.cab" && flip "$out/flip-sigheader.cab" 44
cp "$good" "$out/flip-signature.cab" && flip "$out/flip-signature.cab" $((sigoff + derlen - 20))
cp "$good" "$out/flip-der.cab" && flip "$out/flip-der.cab" $((sigoff + 1))
head -c $((size - 100)) "$good" >"$out/truncated-signature.cab"
head -c $((size / 2)) "$good" >"$out/truncated-half.cab"
head -c 40 "$good" >"$out/truncated-header.cab"
{ cat "$good"; printf 'appended tail 16'; } >"$out/appended.cab"
printf 'This is a text file, not a cabinet.\n' >"$out/text.cab"
: >"$out/empty.cab"

# --- sanity: osslsigncode agrees on the good ones and on two bad ones ---
for f in maker-sha256 maker-sha1 maker-ts nocomma other; do
  run osslsigncode verify -CAfile "$out/anchors.pem" -TSA-CAfile "$out/anchors.pem" -in "$out/$f.cab"
done
run osslsigncode verify -CAfile "$out/anchors.pem" -TSA-CAfile "$out/anchors.pem" -in "$out/expired-ts.cab"
for f in flip-data untrusted; do
  if osslsigncode verify -CAfile "$out/anchors.pem" -in "$out/$f.cab" >>"$log" 2>&1; then
    fail "osslsigncode accepts the damaged fixture $f.cab"
  fi
done
echo "make_signed_cabinets: made $(ls "$out"/*.cab | wc -l) cabinets in $out"
