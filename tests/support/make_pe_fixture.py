#!/usr/bin/env python3
"""Writes small PE images with version resources for the version reader tests.

Nothing made here is ever committed: every run builds the images afresh.

Usage: make_pe_fixture.py OUTDIR

OUTDIR/
  pe32.exe        PE32 (i386), fixed file version 1.2.3.4, translation
                  0x0412/0x04B0, StringFileInfo\\041204b0\\FileVersion "1, 2, 3, 4"
  pe64.dll        PE32+ (x86-64), fixed file version 10.0.19041.2, translation
                  0x0412/0x04B0, FileVersion "10.0.19041.2 베타" (non-ASCII text)
  two-tables.exe  PE32, translations 0x0409/0x04E4 then 0x0412/0x04B0, string
                  tables for both: the first translation's text is "en 7.0"
  no-text.exe     PE32, fixed 1.2.3.4, translation 0x0409/0x04B0 but only a
                  041204b0 string table: no text for the first translation
  empty-text.exe  PE32, fixed 1.2.3.4, FileVersion present with length 0
  no-version.exe  PE32 with a resource section holding only an icon (type 3)
  no-rsrc.exe     PE32 without a resource directory
  loop.exe        PE32 whose RT_VERSION entry points back at the root directory
  bad-data.exe    PE32 whose data entry points far past the end of the file
  not-pe.txt      a text file
"""
import os
import struct
import sys

SECTION_RVA = 0x1000
RAW_OFFSET = 0x200


def align4(data):
    return data + b"\0" * (-len(data) % 4)


def version_node(key, value, wtype, children=(), value_length=None):
    """One VS_VERSIONINFO-style node: header, key, padded value, padded children."""
    if value_length is None:
        value_length = len(value) // 2 if wtype == 1 else len(value)
    body = align4(struct.pack("<HHH", 0, value_length, wtype) + key.encode("utf-16-le") + b"\0\0")
    body += value
    for child in children:
        body = align4(body) + child
    return struct.pack("<H", len(body)) + body[2:]


def text(s):
    return s.encode("utf-16-le") + b"\0\0"


def version_info(fixed, translations, tables):
    ms = (fixed[0] << 16) | fixed[1]
    ls = (fixed[2] << 16) | fixed[3]
    fixed_info = struct.pack("<13I", 0xFEEF04BD, 0x00010000, ms, ls, ms, ls, 0x3F, 0, 0x40004, 1, 0, 0, 0)
    string_tables = []
    for name, strings in tables:
        entries = [version_node(k, text(v) if v else b"", 1, value_length=(len(v) + 1 if v else 0))
                   for k, v in strings]
        string_tables.append(version_node(name, b"", 1, entries))
    trans = b"".join(struct.pack("<HH", lang, cp) for lang, cp in translations)
    var = version_node("Translation", trans, 0)
    children = [version_node("StringFileInfo", b"", 1, string_tables),
                version_node("VarFileInfo", b"", 1, [var])]
    return version_node("VS_VERSION_INFO", fixed_info, 0, children)


def directory(entries):
    """A resource directory: (id, offset-with-flag) pairs, all id entries."""
    out = struct.pack("<IIHHHH", 0, 0, 0, 0, 0, len(entries))
    for ident, target in entries:
        out += struct.pack("<II", ident, target)
    return out


def resource_section(block, res_type=16, loop=False, data_rva=None):
    # root (0x00) -> names (0x18) -> languages (0x30) -> data entry (0x48) -> block (0x58)
    root = directory([(res_type, 0x80000000 | (0 if loop else 0x18))])
    names = directory([(1, 0x80000000 | 0x30)])
    langs = directory([(0x0412, 0x48)])
    if data_rva is None:
        data_rva = SECTION_RVA + 0x58
    data = struct.pack("<IIII", data_rva, len(block), 0, 0)
    return root + names + langs + data + block


def pe_image(rsrc, pe32_plus=False, with_rsrc_dir=True):
    raw_size = (len(rsrc) + 0x1FF) & ~0x1FF
    dos = bytearray(0x80)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, 0x80)
    machine, magic = (0x8664, 0x20B) if pe32_plus else (0x14C, 0x10B)
    opt_size = 240 if pe32_plus else 224
    coff = b"PE\0\0" + struct.pack("<HHIIIHH", machine, 1, 0, 0, 0, opt_size, 0x0102)
    image_size = SECTION_RVA + ((len(rsrc) + 0xFFF) & ~0xFFF)
    if pe32_plus:
        opt = struct.pack("<HBBIIIII", magic, 14, 0, 0, raw_size, 0, 0, 0)
        opt += struct.pack("<QIIHHHHHHIIIIHHQQQQII", 0x140000000, 0x1000, 0x200, 6, 0, 0, 0, 6, 0, 0,
                           image_size, 0x200, 0, 2, 0, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    else:
        opt = struct.pack("<HBBIIIIII", magic, 14, 0, 0, raw_size, 0, 0, 0, 0)
        opt += struct.pack("<IIIHHHHHHIIIIHHIIIIII", 0x400000, 0x1000, 0x200, 6, 0, 0, 0, 6, 0, 0,
                           image_size, 0x200, 0, 2, 0, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    dirs = [(0, 0)] * 16
    if with_rsrc_dir:
        dirs[2] = (SECTION_RVA, len(rsrc))
    opt += b"".join(struct.pack("<II", rva, size) for rva, size in dirs)
    assert len(opt) == opt_size
    section = struct.pack("<8sIIIIIIHHI", b".rsrc", len(rsrc), SECTION_RVA, raw_size, RAW_OFFSET,
                          0, 0, 0, 0, 0x40000040)
    headers = bytes(dos) + coff + opt + section
    headers += b"\0" * (RAW_OFFSET - len(headers))
    return headers + rsrc + b"\0" * (raw_size - len(rsrc))


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_pe_fixture.py OUTDIR")
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)

    korean = (0x0412, 0x04B0)
    standard = version_info((1, 2, 3, 4), [korean], [("041204b0", [("CompanyName", "Qorvane"),
                                                                   ("FileVersion", "1, 2, 3, 4")])])
    images = {
        "pe32.exe": pe_image(resource_section(standard)),
        "pe64.dll": pe_image(resource_section(version_info(
            (10, 0, 19041, 2), [korean], [("041204b0", [("FileVersion", "10.0.19041.2 베타")])])),
            pe32_plus=True),
        "two-tables.exe": pe_image(resource_section(version_info(
            (7, 0, 0, 0), [(0x0409, 0x04E4), korean],
            [("041204b0", [("FileVersion", "ko 7.0")]), ("040904E4", [("FileVersion", "en 7.0")])]))),
        "no-text.exe": pe_image(resource_section(version_info(
            (1, 2, 3, 4), [(0x0409, 0x04B0)], [("041204b0", [("FileVersion", "1, 2, 3, 4")])]))),
        "empty-text.exe": pe_image(resource_section(version_info(
            (1, 2, 3, 4), [korean], [("041204b0", [("FileVersion", "")])]))),
        "no-version.exe": pe_image(resource_section(standard, res_type=3)),
        "no-rsrc.exe": pe_image(resource_section(standard), with_rsrc_dir=False),
        "loop.exe": pe_image(resource_section(standard, loop=True)),
        "bad-data.exe": pe_image(resource_section(standard, data_rva=0x7FFFFFF0)),
    }
    for name, data in images.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    with open(os.path.join(out, "not-pe.txt"), "w") as f:
        f.write("MZ is not enough to make a program: a text file that starts like one is still text.\n")


if __name__ == "__main__":
    main()
