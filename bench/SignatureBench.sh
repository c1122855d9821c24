#!/usr/bin/env bash
# Makes a signed cabinet of about 200 MiB (stored, not compressed) and runs
# qrv_bench_signature on it, under /usr/bin/time -v for the peak RSS.
#   bench/SignatureBench.sh build/rel/bench/qrv_bench_signature [RUNS]
# Works in a fresh folder below /tmp and removes it afterwards.
set -euo pipefail
bench=$(realpath "$1")
runs=${2:-5}
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/qrv-sigbench-XXXXXX)
trap 'rm -rf "$work"' EXIT

bash "$here/tests/support/make_signed_cabinets.sh" "$work/fx" >/dev/null
mkdir "$work/data"
for i in 1 2 3 4; do head -c $((50 << 20)) /dev/urandom >"$work/data/part$i.bin"; done
gcab -c -n "$work/big.cab" "$work/data"/part*.bin
rm -rf "$work/data"
osslsigncode sign -certs "$work/fx/pki/maker.chain.pem" -key "$work/fx/pki/maker.key" -h sha256 \
  -in "$work/big.cab" -out "$work/big.signed.cab" >/dev/null
rm "$work/big.cab"
ls -l "$work/big.signed.cab"
/usr/bin/time -v "$bench" "$work/big.signed.cab" "$work/fx/anchors.pem" "$runs" 2>"$work/time.txt"
grep -E "Maximum resident|Elapsed" "$work/time.txt"
