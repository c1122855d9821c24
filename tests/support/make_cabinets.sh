#!/bin/sh
# Makes the cabinets the cabinet tests, the fuzzer's seed corpus and the
# replay test use, in OUTDIR (created when missing). Nothing made here is ever
# committed: every run builds them afresh from text written below.
#
# Usage: make_cabinets.sh OUTDIR
#
# gcab makes the ordinary cabinets; what gcab cannot express (raw CP949 or
# Latin-1 names, attribute bits, fixed time stamps, hostile names) is patched
# into its CFFILE entries afterwards. Names and attributes are not covered by
# any checksum, so a patch changes nothing else. The two-cabinet set is written
# from scratch, since gcab cannot split.
#
# Every CFFILE entry gets the time stamp 2024-03-01 12:34:56.
#
# OUTDIR/
#   plain.cab        stored: Bin\Writer.exe, readme.txt, data\big.bin (150000
#                    bytes), empty.txt (0 bytes)
#   mszip.cab        the same files, MSZIP compressed
#   names.cab        stored: 한글.txt (UTF-8, flag 0x80 set by gcab),
#                    CP949 bytes of 한글 + "-949.txt" (no flag),
#                    "caf" 0xE9 ".txt" (no flag; not valid CP949)
#   attribs.cab      stored: ro.txt 0x21, hidden.txt 0x22, utc.txt 0x120,
#                    local.txt 0x20, tool.sh 0x60, sys.txt 0x24
#   unsafe-dotdot.cab    first.txt, ..\x, last.txt
#   unsafe-absolute.cab  first.txt, OUTDIR/escaped/x (absolute, below OUTDIR so
#                        a broken check could never write outside the sandbox)
#   unsafe-empty.cab     first.txt, a\\b
#   unsafe-control.cab   first.txt, "tab<TAB>x.txt"
#   unsafe-drive.cab     first.txt, C:\x
#   set1.cab, set2.cab   a set (id 0x1234): set1 holds one.txt (1000 bytes) and
#                    the start of split.bin (50000 bytes); set2 its rest and
#                    two.txt (500 bytes); set1 names its successor "SET2.CAB"
#   wrongid1.cab, wrongid2.cab   a pair whose second cabinet has another set id
#   lonely1.cab      the first cabinet of a set whose successor is missing
#   cryp.cab         plain.cab with "CRYP" as its first four bytes
#   text.cab         a text file
#   truncated.cab    mszip.cab cut after 60% of its bytes
#   flipped.cab      mszip.cab with one byte of its third data block flipped
#   src/             the files the cabinets were made from (plain/mszip)
set -eu

if [ $# -ne 1 ]; then
  echo "usage: $0 OUTDIR" >&2
  exit 2
fi
mkdir -p "$1"
out=$(cd "$1" && pwd)
# pyenv or a virtualenv may shadow python3 in PATH; the system one is enough.
python=/usr/bin/python3
[ -x "$python" ] || python=python3

src="$out/src"
work="$out/work"
rm -rf "$src" "$work"
mkdir -p "$src/Bin" "$src/data" "$work"

# source files: readable text plus a semi-compressible binary that spans
# several 32 KiB data blocks
printf 'MZ writer stub\n' >"$src/Bin/Writer.exe"
printf 'Read me first.\r\nSecond line.\r\n' >"$src/readme.txt"
: >"$src/empty.txt"
"$python" - "$src/data/big.bin" <<'EOF'
import random, sys
rng = random.Random(20240301)
chunks = []
size = 0
while size < 150000:
    if rng.random() < 0.5:
        c = b"line %06d of the update payload\n" % size
    else:
        c = bytes(rng.getrandbits(8) for _ in range(48))
    chunks.append(c)
    size += len(c)
open(sys.argv[1], "wb").write(b"".join(chunks)[:150000])
EOF

(cd "$src" && gcab -c "$out/plain.cab" Bin/Writer.exe readme.txt data/big.bin empty.txt)
(cd "$src" && gcab -cz "$out/mszip.cab" Bin/Writer.exe readme.txt data/big.bin empty.txt)

# names.cab: placeholders of the right length, patched below
mkdir -p "$work/names"
printf 'utf-8 name\n' >"$work/names/한글.txt"
printf 'cp949 name\n' >"$work/names/HANG-949.txt"
printf 'latin-1 name\n' >"$work/names/cafX.txt"
(cd "$work/names" && gcab -c "$out/names.cab" 한글.txt HANG-949.txt cafX.txt)

mkdir -p "$work/attribs"
for f in ro.txt hidden.txt utc.txt local.txt tool.sh sys.txt; do
  printf 'content of %s\n' "$f" >"$work/attribs/$f"
done
(cd "$work/attribs" && gcab -c "$out/attribs.cab" ro.txt hidden.txt utc.txt local.txt tool.sh sys.txt)

# hostile names: each between two good files, placeholders patched below
abs_target="$out/escaped/x"
abs_placeholder=$(printf '%*s' "${#abs_target}" '' | tr ' ' 'A')
mkdir -p "$work/unsafe/ab" "$work/unsafe/C9"
for f in first.txt last.txt ab/x aZZb "$abs_placeholder" TABXx.txt C9/x; do
  printf 'entry %s\n' "$f" >"$work/unsafe/$f"
done
(cd "$work/unsafe" && gcab -c "$out/unsafe-dotdot.cab" first.txt ab/x last.txt)
(cd "$work/unsafe" && gcab -c "$out/unsafe-absolute.cab" first.txt "$abs_placeholder" last.txt)
(cd "$work/unsafe" && gcab -c "$out/unsafe-empty.cab" first.txt aZZb last.txt)
(cd "$work/unsafe" && gcab -c "$out/unsafe-control.cab" first.txt TABXx.txt last.txt)
(cd "$work/unsafe" && gcab -c "$out/unsafe-drive.cab" first.txt C9/x last.txt)

printf 'This is not a cabinet, only a text file named like one.\n' >"$out/text.cab"

"$python" - "$out" "$abs_target" "$abs_placeholder" <<'EOF'
import struct, sys, zlib

out, abs_target, abs_placeholder = sys.argv[1], sys.argv[2].encode(), sys.argv[3].encode()

DOS_DATE = ((2024 - 1980) << 9) | (3 << 5) | 1
DOS_TIME = (12 << 11) | (34 << 5) | (56 // 2)

def entries(cab):
    """Yields (entry offset, name offset, name bytes, attribute offset) per CFFILE."""
    c_files, flags = struct.unpack_from("<HH", cab, 0x1C)
    pos = struct.unpack_from("<I", cab, 0x10)[0]
    for _ in range(c_files):
        end = cab.index(b"\0", pos + 16)
        yield pos, pos + 16, bytes(cab[pos + 16:end]), pos + 14
        pos = end + 1

def patch(path, names=None, attribs=None):
    cab = bytearray(open(path, "rb").read())
    for entry, name_at, name, attr_at in entries(cab):
        struct.pack_into("<HH", cab, entry + 10, DOS_DATE, DOS_TIME)
        if names and name in names:
            new = names[name]
            assert len(new) == len(name), (name, new)
            cab[name_at:name_at + len(new)] = new
        if attribs and name in attribs:
            struct.pack_into("<H", cab, attr_at, attribs[name])
    open(path, "wb").write(cab)

def folder_blocks(cab):
    """Offsets of the CFDATA blocks of the first folder (no reserve fields)."""
    start, count = struct.unpack_from("<IH", cab, 36)
    blocks, pos = [], start
    for _ in range(count):
        cb = struct.unpack_from("<H", cab, pos + 4)[0]
        blocks.append((pos, cb))
        pos += 8 + cb
    return blocks

for name in ("plain", "mszip"):
    patch(f"{out}/{name}.cab")
patch(f"{out}/names.cab", names={
    b"HANG-949.txt": "한글".encode("cp949") + b"-949.txt",
    b"cafX.txt": b"caf\xe9.txt",
})
patch(f"{out}/attribs.cab", attribs={
    b"ro.txt": 0x21, b"hidden.txt": 0x22, b"utc.txt": 0x120,
    b"local.txt": 0x20, b"tool.sh": 0x60, b"sys.txt": 0x24,
})
patch(f"{out}/unsafe-dotdot.cab", names={b"ab\\x": b"..\\x"})
patch(f"{out}/unsafe-absolute.cab", names={abs_placeholder: abs_target})
patch(f"{out}/unsafe-empty.cab", names={b"aZZb": b"a\\\\b"})
patch(f"{out}/unsafe-control.cab", names={b"TABXx.txt": b"tab\tx.txt"})
patch(f"{out}/unsafe-drive.cab", names={b"C9\\x": b"C:\\x"})

mszip = open(f"{out}/mszip.cab", "rb").read()
plain = open(f"{out}/plain.cab", "rb").read()
open(f"{out}/cryp.cab", "wb").write(b"CRYP" + plain[4:])
open(f"{out}/truncated.cab", "wb").write(mszip[:len(mszip) * 6 // 10])
flipped = bytearray(mszip)
blocks = folder_blocks(flipped)
assert len(blocks) >= 4, blocks
pos, cb = blocks[2]
flipped[pos + 8 + cb // 2] ^= 0x55
open(f"{out}/flipped.cab", "wb").write(flipped)

# --- a cabinet set, written from scratch (stored data) ---

def checksum(data, seed=0):
    """The CFDATA checksum: 32-bit little-endian words XORed, the tail folded in."""
    csum = seed
    n = len(data) // 4 * 4
    for i in range(0, n, 4):
        csum ^= struct.unpack_from("<I", data, i)[0]
    tail = data[n:]
    ul = 0
    for b in tail:
        ul = (ul << 8) | b
    return csum ^ ul

def cfdata(payload, uncompressed):
    head = struct.pack("<HH", len(payload), uncompressed)
    return struct.pack("<I", checksum(head, checksum(payload))) + head + payload

def cabinet(set_id, index, prev, nxt, folders, files):
    """folders: list of list of CFDATA blobs; files: (name, size, offset, ifolder)."""
    flags = (1 if prev else 0) | (2 if nxt else 0)
    names = b""
    if prev:
        names += prev + b"\0" + b"Disk 1\0"
    if nxt:
        names += nxt + b"\0" + b"Disk 2\0"
    head_len = 36 + len(names)
    folder_len = 8 * len(folders)
    file_blob = b""
    for name, size, offset, ifolder in files:
        file_blob += struct.pack("<IIHHHH", size, offset, ifolder, DOS_DATE, DOS_TIME, 0x20) + name + b"\0"
    data_at = head_len + folder_len + len(file_blob)
    folder_blob, data_blob = b"", b""
    for blocks in folders:
        folder_blob += struct.pack("<IHH", data_at + len(data_blob), len(blocks), 0)
        data_blob += b"".join(blocks)
    total = data_at + len(data_blob)
    head = b"MSCF" + struct.pack("<IIIIIBBHHHHH", 0, total, 0, head_len + folder_len, 0,
                                 3, 1, len(folders), len(files), flags, set_id, index)
    return head + names + folder_blob + file_blob + data_blob

one = bytes((i * 7) & 0xFF for i in range(1000))
split = bytes((i * 13 + 5) & 0xFF for i in range(50000))
two = b"second cabinet\n" * 33 + b"12345"
assert len(two) == 500
stream = one + split
block0, block1 = stream[:32768], stream[32768:]
cut = 8000  # block 1 is split across the two cabinets

def set_pair(set_id_2, first_next, second_prev):
    first = cabinet(0x1234, 0, None, first_next,
                    [[cfdata(block0, len(block0)), cfdata(block1[:cut], 0)]],
                    [(b"one.txt", 1000, 0, 0), (b"split.bin", 50000, 1000, 0xFFFE)])
    second = cabinet(set_id_2, 1, second_prev, None,
                     [[cfdata(block1[cut:], len(block1))], [cfdata(two, len(two))]],
                     [(b"split.bin", 50000, 1000, 0xFFFD), (b"two.txt", 500, 0, 1)])
    return first, second

a, b = set_pair(0x1234, b"SET2.CAB", b"set1.cab")
open(f"{out}/set1.cab", "wb").write(a)
open(f"{out}/set2.cab", "wb").write(b)
a, b = set_pair(0x9999, b"wrongid2.cab", b"wrongid1.cab")
open(f"{out}/wrongid1.cab", "wb").write(a)
open(f"{out}/wrongid2.cab", "wb").write(b)
a, _ = set_pair(0x1234, b"gone.cab", b"lonely1.cab")
open(f"{out}/lonely1.cab", "wb").write(a)
EOF

rm -rf "$work"
