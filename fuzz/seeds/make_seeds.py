#!/usr/bin/env python3
"""Writes the hand-made seed files of the fuzz corpora (fuzz/corpus/<target>/own-*).

Each seed is a tiny, valid (or deliberately odd) file that reaches a branch the public test
pictures do not: run-length deltas, bit-field masks, header-less bitmaps, LZW clears, PNG
transparency and interlacing, multi-byte WBMP sizes, placeable metafiles, EXIF blocks and
host profiles. Run from the repository root; the JPEG seeds come from make_jpeg_seeds.cpp.
"""
import os
import struct
import zlib

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "corpus")


def put(target, name, data):
    folder = os.path.join(ROOT, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "own-" + name), "wb") as out:
        out.write(data)


# --- BMP ---------------------------------------------------------------------------------

def bmp(width, height, bits, pixels, palette=b"", compression=0, masks=b"", colors=None,
        file_header=True, info_size=40):
    if colors is None:
        colors = len(palette) // 4
    info = struct.pack("<IiiHHIIiiII", info_size, width, height, 1, bits, compression,
                       len(pixels), 2835, 2835, colors, 0)
    body = info + masks + palette + pixels
    if not file_header:
        return body
    offset = 14 + len(info) + len(masks) + len(palette)
    return b"BM" + struct.pack("<IHHI", 14 + len(body), 0, 0, offset) + body


def gray_palette(n):
    step = 255 // (n - 1)
    return b"".join(bytes((i * step, i * step, i * step, 0)) for i in range(n))


def bmp_seeds():
    put("fuzz_decode_bmp", "rgb24-2x2.bmp",
        bmp(2, 2, 24, bytes([0, 0, 255, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 0])))
    # RLE8: a run, an odd literal with its padding byte, a delta, end of line, end of bitmap.
    rle8 = bytes([2, 7, 0, 3, 1, 2, 3, 0, 0, 2, 1, 1, 0, 0, 4, 9, 0, 1])
    put("fuzz_decode_bmp", "rle8-6x3.bmp", bmp(6, 3, 8, rle8, gray_palette(16) * 16, 1))
    rle4 = bytes([5, 0x12, 0, 0, 0, 5, 0x34, 0x56, 0x70, 0, 0, 2, 1, 0, 3, 0xAB, 0, 1])
    put("fuzz_decode_bmp", "rle4-7x3.bmp", bmp(7, 3, 4, rle4, gray_palette(16), 2))
    rgb565 = struct.pack("<6H", 0xF800, 0x07E0, 0x001F, 0xFFFF, 0x0000, 0x8410) + b"\0\0" * 2
    put("fuzz_decode_bmp", "rgb565-3x2.bmp",
        bmp(3, 2, 16, rgb565, compression=3, masks=struct.pack("<III", 0xF800, 0x07E0, 0x001F)))
    put("fuzz_decode_bmp", "rgb555-3x1.bmp", bmp(3, 1, 16, struct.pack("<4H", 0x7FFF, 0x7C00, 1, 0)))
    put("fuzz_decode_bmp", "rgb32-2x2-topdown.bmp", bmp(2, -2, 32, bytes(range(16))))
    put("fuzz_decode_bmp", "pal1-dib-9x2.bmp",
        bmp(9, 2, 1, bytes([0xAA, 0x80, 0, 0, 0x55, 0x00, 0, 0]), gray_palette(2),
            file_header=False))
    core = struct.pack("<IHHHH", 12, 3, 2, 1, 8)
    palette3 = b"".join(bytes((i, 255 - i, i // 2)) for i in range(0, 256))
    pixels = bytes([0, 128, 255, 0, 1, 2, 3, 0])
    body = core + palette3 + pixels
    put("fuzz_decode_bmp", "os2-core-3x2.bmp",
        b"BM" + struct.pack("<IHHI", 14 + len(body), 0, 0, 14 + 12 + len(palette3)) + body)


# --- GIF ---------------------------------------------------------------------------------

def lzw_fixed_width(indices, min_size):
    """Literal codes only, with a clear code often enough that the code width never grows."""
    clear, eoi, width = 1 << min_size, (1 << min_size) + 1, min_size + 1
    per_clear = max(1, (1 << min_size) - 2)
    codes = []
    for start in range(0, len(indices), per_clear):
        codes.append(clear)
        codes.extend(indices[start:start + per_clear])
    codes.append(eoi)
    bits, count, out = 0, 0, bytearray()
    for code in codes:
        bits |= code << count
        count += width
        while count >= 8:
            out.append(bits & 0xFF)
            bits >>= 8
            count -= 8
    if count:
        out.append(bits & 0xFF)
    blocks = bytearray()
    for start in range(0, len(out), 255):
        chunk = out[start:start + 255]
        blocks += bytes([len(chunk)]) + chunk
    return bytes([min_size]) + bytes(blocks) + b"\0"


def gif_frame(left, top, width, height, indices, min_size, local=b"", interlaced=False):
    flags = 0x40 if interlaced else 0
    if local:
        flags |= 0x80 | ((len(local) // 3).bit_length() - 2)
    return (b"," + struct.pack("<HHHHB", left, top, width, height, flags) + local +
            lzw_fixed_width(indices, min_size))


def gif_seeds():
    table = bytes([0, 0, 0, 255, 255, 255, 255, 0, 0, 0, 0, 255])
    screen = b"GIF87a" + struct.pack("<HHBBB", 3, 2, 0x81, 0, 0) + table
    put("fuzz_decode_gif", "gif87-3x2.gif", screen + gif_frame(0, 0, 3, 2, [0, 1, 2, 3, 2, 1], 2) + b";")
    screen = b"GIF89a" + struct.pack("<HHBBB", 4, 4, 0x81, 0, 0) + table
    netscape = b"!\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00"
    control = b"!\xf9\x04" + struct.pack("<BHB", 0x09, 10, 1) + b"\0"
    comment = b"!\xfe\x05hello\x00"
    frame1 = gif_frame(0, 0, 4, 4, [0, 1, 2, 3] * 4, 2)
    local = bytes([10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120])
    frame2 = gif_frame(1, 1, 2, 3, [1, 2, 3, 0, 1, 2], 2, local, interlaced=True)
    put("fuzz_decode_gif", "gif89-2frames.gif",
        screen + netscape + comment + control + frame1 + control + frame2 + b";")
    put("fuzz_decode_gif", "no-global-table.gif",
        b"GIF89a" + struct.pack("<HHBBB", 2, 2, 0, 0, 0) +
        gif_frame(0, 0, 2, 2, [0, 1, 1, 0], 2, table) + b";")


# --- PNG ---------------------------------------------------------------------------------

def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png(width, height, depth, color, rows, extra=b"", interlace=0):
    header = struct.pack(">IIBBBBB", width, height, depth, color, 0, 0, interlace)
    raw = b"".join(b"\0" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + extra +
            chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def png_seeds():
    put("fuzz_decode_png", "gray1x1.png", png(1, 1, 8, 0, [b"\x80"]))
    palette = chunk(b"PLTE", bytes([255, 0, 0, 0, 255, 0, 0, 0, 255]))
    put("fuzz_decode_png", "palette-trns-3x2.png",
        png(3, 2, 8, 3, [b"\0\1\2", b"\2\1\0"], palette + chunk(b"tRNS", b"\0")))
    put("fuzz_decode_png", "rgba16-2x1.png",
        png(2, 1, 16, 6, [bytes(range(16))], chunk(b"bKGD", b"\0\1\0\2\0\3")))
    put("fuzz_decode_png", "gray-alpha-2x2.png",
        png(2, 2, 8, 4, [b"\x10\xff\x20\x00", b"\x30\x80\x40\x40"],
            chunk(b"pHYs", struct.pack(">IIB", 3780, 3780, 1))))
    # Adam7 rows of a 5x5 2-bit gray picture: every pass has at least one row here.
    passes = [(1, 1), (1, 1), (2, 1), (1, 2), (3, 2), (2, 3), (5, 2)]
    raw = b"".join(b"\0" + bytes([0x1B] * ((w * 2 + 7) // 8)) for w, h in passes for _ in range(h))
    header = struct.pack(">IIBBBBB", 5, 5, 2, 0, 0, 0, 1)
    put("fuzz_decode_png", "gray2-interlaced-5x5.png",
        b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw)) +
        chunk(b"IEND", b""))


# --- WBMP --------------------------------------------------------------------------------

def wbmp_seeds():
    put("fuzz_decode_wbmp", "8x2.wbmp", bytes([0, 0, 8, 2, 0xF0, 0x0F]))
    put("fuzz_decode_wbmp", "10x3.wbmp", bytes([0, 0, 10, 3]) + bytes([0xAA, 0xC0] * 3))
    put("fuzz_decode_wbmp", "130x1-multibyte.wbmp", bytes([0, 0, 0x81, 0x02, 1]) + bytes(17))


# --- Windows metafiles -------------------------------------------------------------------

def record(function, *words):
    return struct.pack("<IH", 3 + len(words), function) + struct.pack("<%dh" % len(words), *words)


def wmf_records():
    return b"".join([
        record(0x020B, 0, 0),            # SetWindowOrg
        record(0x020C, 100, 200),        # SetWindowExt (y, x)
        record(0x02FC, 0, 0x00FF, 0x0000, 0),  # CreateBrushIndirect: solid red
        record(0x012D, 0),               # SelectObject
        record(0x041B, 80, 150, 10, 20),  # Rectangle (bottom, right, top, left)
        record(0x0324, 3, 10, 10, 190, 10, 100, 90),  # Polygon
        record(0x0214, 5, 5),            # MoveTo
        record(0x0213, 95, 195),         # LineTo
        record(0x0418, 60, 120, 30, 40),  # Ellipse
        record(0x0000),                  # end of file
    ])


def wmf_header(records):
    size_words = (18 + len(records)) // 2
    return struct.pack("<HHHIHIH", 1, 9, 0x0300, size_words, 1, 9, 0) + records


def placeable(left, top, right, bottom, inch):
    words = struct.pack("<IHhhhhHI", 0x9AC6CDD7, 0, left, top, right, bottom, inch, 0)
    checksum = 0
    for (value,) in struct.iter_unpack("<H", words[:20]):
        checksum ^= value
    return words + struct.pack("<H", checksum)


def metafile_seeds():
    records = wmf_records()
    put("fuzz_decode_metafile", "placeable-200x100.wmf",
        placeable(0, 0, 200, 100, 96) + wmf_header(records))
    put("fuzz_decode_metafile", "placeable-wide.wmf",
        placeable(0, 0, 8000, 2000, 1440) + wmf_header(records))
    put("fuzz_decode_metafile", "plain.wmf", wmf_header(records))
    emf = struct.pack("<II", 1, 88) + struct.pack("<4i", 0, 0, 10, 10) + bytes(80)
    put("fuzz_decode_metafile", "header-only.emf", emf)


# --- EXIF blocks -------------------------------------------------------------------------

def exif_block(big_endian):
    e = ">" if big_endian else "<"
    entries = []
    data = bytearray()
    data_base = 8 + 2 + 8 * 12 + 4

    def add(tag, fmt, count, value_bytes):
        if len(value_bytes) <= 4:
            entries.append(struct.pack(e + "HHI", tag, fmt, count) + value_bytes.ljust(4, b"\0"))
        else:
            entries.append(struct.pack(e + "HHII", tag, fmt, count, data_base + len(data)))
            data.extend(value_bytes)

    add(0x010F, 2, 6, b"Maker\0")
    add(0x0110, 2, 8, b"Model 1\0")
    add(0x0112, 3, 1, struct.pack(e + "H", 6))
    add(0x011A, 5, 1, struct.pack(e + "II", 72, 1))
    add(0x011B, 5, 1, struct.pack(e + "II", 300, 1))
    add(0x0128, 3, 1, struct.pack(e + "H", 2))
    add(0x8769, 4, 1, struct.pack(e + "I", 0))  # the sub-directory's offset, patched below
    add(0x0201, 4, 1, struct.pack(e + "I", 0))
    directory = bytearray(struct.pack(e + "H", len(entries)) + b"".join(entries) + b"\0\0\0\0")
    sub_offset = data_base + len(data)
    directory[2 + 6 * 12 + 8:2 + 6 * 12 + 12] = struct.pack(e + "I", sub_offset)
    sub = struct.pack(e + "H", 3)
    sub += struct.pack(e + "HHII", 0xA002, 4, 1, 640)
    sub += struct.pack(e + "HHII", 0xA20E, 5, 1, sub_offset + 2 + 3 * 12 + 4)
    sub += struct.pack(e + "HHI", 0xA210, 3, 1) + struct.pack(e + "H", 3) + b"\0\0"
    sub += b"\0\0\0\0" + struct.pack(e + "II", 5000, 3)
    tiff = (b"MM" if big_endian else b"II") + struct.pack(e + "HI", 42, 8)
    return b"Exif\0\0" + tiff + bytes(directory) + bytes(data) + sub


def profile_seeds():
    host = (b'<?xml version="1.0" encoding="UTF-8"?>\n<profile>\n  <Preferences units="mm"/>\n'
            b'  <Engraving>\n    <YStepOver>0.1000</YStepOver>\n    <Length>10.00</Length>\n'
            b'    <Width>10.00</Width>\n    <FeedRate>100.0</FeedRate>\n    <Inverse>0</Inverse>\n'
            b'    <MaintainAspectRatio>1</MaintainAspectRatio>\n  </Engraving>\n</profile>\n')
    put("fuzz_profile", "host.xml", host)
    put("fuzz_profile", "empty-keys.xml",
        b"<profile><Engraving><Width></Width><Length/><Inverse> 12abc</Inverse></Engraving>"
        b"<Engraving><Width>2</Width></Engraving></profile>")
    put("fuzz_profile", "namespaces.xml",
        b'<p:settings xmlns:p="urn:a" xmlns="urn:b"><Engraving><p:Width>1</p:Width>'
        b"<Width>&#51;&amp;</Width></Engraving><![CDATA[x<y]]><!-- c --><?pi x?></p:settings>")
    put("fuzz_profile", "entities.xml",
        b'<!DOCTYPE profile [<!ENTITY w "4.5"><!ATTLIST Engraving a CDATA "d">]>'
        b"<profile><Engraving><Width>&w;</Width></Engraving></profile>")
    put("fuzz_profile", "latin1.xml",
        b'<?xml version="1.0" encoding="ISO-8859-1"?><profile><Host>\xe9t\xe9</Host></profile>')
    put("fuzz_profile", "truncated.xml", b"<profile><Engraving><Width>3</Wid")
    put("fuzz_profile", "empty.xml", b"")


def main():
    bmp_seeds()
    gif_seeds()
    png_seeds()
    wbmp_seeds()
    metafile_seeds()
    put("fuzz_jpeg_markers", "exif-ii.bin", exif_block(False))
    put("fuzz_jpeg_markers", "exif-mm.bin", exif_block(True))
    profile_seeds()


if __name__ == "__main__":
    main()
