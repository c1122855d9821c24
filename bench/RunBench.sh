#!/usr/bin/env bash
# Helper of qrv_bench_run (RunBench.cpp); not meant to be run on its own.
#
#   RunBench.sh prepare WORK
#     Makes the test PKI (tests/support/make_signed_cabinets.sh) in WORK/fx
#     and the served tree in WORK/srv: qupdate_s.ini, one product file and
#     one signed, uncompressed cabinet of four 5 MiB random files for each of
#     Alpha, Beta and Gamma (60 MiB in all).
#   RunBench.sh sign WORK
#     Copies WORK/srv to WORK/srv-signed and makes it signed update
#     information: sizes and hashes, [Release], detached CMS signatures.
#   RunBench.sh reference FILES_URL ANCHORS DEST
#     What an administrator's script would do for the same update: fetch the
#     update information, each product file and each cabinet with curl, check
#     each cabinet's signature with osslsigncode and unpack it with cabextract
#     into DEST/inst/PRODUCT.
#   RunBench.sh prepare-small DIR COUNT
#     Makes COUNT signed cabinets of about 4 KiB in DIR/cab (c0000.cab ...),
#     each holding one 2 KiB random file small/fNNNN.bin of its own, signed
#     as the maker with the PKI of DIR/fx (made when missing), four at a
#     time. Cabinets already there are kept, so a DIR kept between runs is
#     signed only once.
#   RunBench.sh loop-small FROM COUNT ANCHORS DEST
#     The shell loop an administrator would write for the many-small-files
#     case: for each listed cabinet one `cp` (FROM a folder) or one `curl`
#     (FROM an http:// URL), one `osslsigncode verify` and one `cabextract`
#     into DEST/inst; the update information and product file are fetched
#     the same way first.
set -euo pipefail
products=(Alpha Beta Gamma)

case "${1:-}" in
prepare)
  work=$2
  here=$(cd "$(dirname "$0")/.." && pwd)
  bash "$here/tests/support/make_signed_cabinets.sh" "$work/fx" >/dev/null
  mkdir -p "$work/srv" "$work/data"
  info="[VersionInfo]"$'\n'
  levels="[UpdateVersionInfo]"$'\n'
  counts="[COUNT]"$'\n'
  for p in "${products[@]}"; do
    lower=${p,,}
    rm -rf "$work/data" && mkdir -p "$work/data/$lower"
    for i in 1 2 3 4; do head -c $((5 << 20)) /dev/urandom >"$work/data/$lower/part$i.bin"; done
    (cd "$work/data" && gcab -c "$work/$lower.cab" "$lower"/part*.bin)
    osslsigncode sign -certs "$work/fx/pki/maker.chain.pem" -key "$work/fx/pki/maker.key" -h sha256 \
      -in "$work/$lower.cab" -out "$work/srv/$lower.cab" >/dev/null
    rm "$work/$lower.cab"
    printf '[%s]\n%sCOUNT=1\n%s0FILE=%s.cab\n' "$p" "$p" "$p" "$lower" >"$work/srv/$p.ini"
    info+="$p=6.0"$'\n'
    levels+="$p=6"$'\n'
    counts+="$p=1"$'\n'
  done
  rm -rf "$work/data"
  printf '%s%s%s' "$info" "$levels" "$counts" >"$work/srv/qupdate_s.ini"
  ;;
sign)
  # The tree of `prepare` as a publisher of signed update information makes
  # it, in WORK/srv-signed: sizes and hashes of every listed file, the
  # release section, the product files bound to it, detached signatures.
  work=$2
  rm -rf "$work/srv-signed" && cp -r "$work/srv" "$work/srv-signed"
  cd "$work/srv-signed"
  {
    echo "[Release]"
    echo "Serial=1"
    echo "Date=$(date -u +%Y-%m-%dT%H:%M:%SZ)"
    echo "Expires=$(date -u -d '+30 days' +%Y-%m-%dT%H:%M:%SZ)"
  } >>qupdate_s.ini
  sizes="[ProductFileSize]"$'\n' hashes="[ProductFileSHA256]"$'\n'
  for p in "${products[@]}"; do
    lower=${p,,}
    printf '%s0SIZE=%s\n%s0SHA256=%s\n' "$p" "$(stat -c %s "$lower.cab")" "$p" \
      "$(sha256sum "$lower.cab" | cut -d' ' -f1)" >>"$p.ini"
    sizes+="$p=$(stat -c %s "$p.ini")"$'\n'
    hashes+="$p=$(sha256sum "$p.ini" | cut -d' ' -f1)"$'\n'
  done
  printf '%s%s' "$sizes" "$hashes" >>qupdate_s.ini
  for f in qupdate_s.ini "${products[@]/%/.ini}"; do
    openssl cms -sign -binary -md sha256 -outform DER -in "$f" -signer "$work/fx/pki/maker.pem" \
      -inkey "$work/fx/pki/maker.key" -certfile "$work/fx/pki/inter.pem" -out "$f.p7s"
  done
  ;;
reference)
  url=$2 anchors=$3 dest=$4
  mkdir -p "$dest/dl"
  curl -sfo "$dest/dl/qupdate_s.ini" "${url}qupdate_s.ini"
  for p in "${products[@]}"; do
    lower=${p,,}
    curl -sfo "$dest/dl/$p.ini" "${url}$p.ini"
    curl -sfo "$dest/dl/$lower.cab" "${url}$lower.cab"
    osslsigncode verify -CAfile "$anchors" -in "$dest/dl/$lower.cab" >/dev/null
    mkdir -p "$dest/inst/$p"
    # cabextract warns about the signature appended to the cabinet; its exit status still counts
    cabextract -q -d "$dest/inst/$p" "$dest/dl/$lower.cab" 2>/dev/null
  done
  ;;
prepare-small)
  dir=$2 count=$3
  here=$(cd "$(dirname "$0")/.." && pwd)
  [ -f "$dir/fx/anchors.pem" ] || bash "$here/tests/support/make_signed_cabinets.sh" "$dir/fx" >/dev/null
  mkdir -p "$dir/cab" "$dir/tmp"
  export fx=$dir/fx tmp=$dir/tmp cab=$dir/cab
  # shellcheck disable=SC2016
  seq -f '%04g' 0 $((count - 1)) | xargs -P 4 -I{} bash -c '
    set -e
    i=$1
    [ -f "$cab/c$i.cab" ] && exit 0
    mkdir -p "$tmp/$i/small"
    head -c 2048 /dev/urandom >"$tmp/$i/small/f$i.bin"
    (cd "$tmp/$i" && gcab -c "$tmp/$i.cab" "small/f$i.bin")
    osslsigncode sign -certs "$fx/pki/maker.chain.pem" -key "$fx/pki/maker.key" -h sha256 \
      -in "$tmp/$i.cab" -out "$tmp/$i.signed" >/dev/null
    mv "$tmp/$i.signed" "$cab/c$i.cab"
    rm -rf "$tmp/$i" "$tmp/$i.cab"' _ {}
  rmdir "$dir/tmp"
  ;;
loop-small)
  from=$2 count=$3 anchors=$4 dest=$5
  mkdir -p "$dest/dl/cab" "$dest/inst"
  if [[ $from == http://* ]]; then fetch() { curl -sfo "$2" "$from$1"; }; else fetch() { cp "$from/$1" "$2"; }; fi
  fetch qupdate_s.ini "$dest/dl/qupdate_s.ini"
  fetch Small.ini "$dest/dl/Small.ini"
  for ((i = 0; i < count; i++)); do
    printf -v name 'cab/c%04d.cab' "$i"
    fetch "$name" "$dest/dl/$name"
    osslsigncode verify -CAfile "$anchors" -in "$dest/dl/$name" >/dev/null
    cabextract -q -d "$dest/inst" "$dest/dl/$name" 2>/dev/null
  done
  ;;
*)
  echo "usage: $0 prepare WORK | reference FILES_URL ANCHORS DEST | prepare-small DIR COUNT |" \
    "loop-small FROM COUNT ANCHORS DEST" >&2
  exit 2
  ;;
esac
