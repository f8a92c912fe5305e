"""`to=`: any input to any output, through the files and through memory."""
import pathlib

import pytest

from test_quorvelpbm import bmp24, pattern, pbm_plain  # also points the package at the built library

import quorvelpbm  # noqa: E402  (after the path set-up above)

WIDTH, HEIGHT = 13, 4


def channels_black() -> list:
    return [not all(c >= 100 for c in p) for row in pattern(WIDTH, HEIGHT, 2) for p in row]


def test_a_bmp_becomes_a_bmp_of_its_pbm_bits_and_a_pbm_a_pbm(tmp_path: pathlib.Path) -> None:
    black = channels_black()
    bmp = bmp24(pattern(WIDTH, HEIGHT, 2))
    pbm = pbm_plain(WIDTH, HEIGHT, black)
    assert quorvelpbm.convert_bytes(bmp) == pbm
    # BMP to BMP: the picture of those bits, as PBM to BMP writes it.
    assert quorvelpbm.convert_bytes(bmp, to="bmp") == quorvelpbm.convert_bytes(pbm)
    # PBM to PBM, raw then back to plain, and inverted.
    raw = quorvelpbm.convert_bytes(pbm, to="pbm", raw=True)
    head = b"P4\n# Created by Quorvel\n13 4\n"
    assert raw.startswith(head) and len(raw) == len(head) + 2 * HEIGHT  # rows of two bytes
    assert quorvelpbm.convert_bytes(raw, to="pbm") == pbm
    assert quorvelpbm.convert_bytes(pbm, to="pbm", invert=True) == pbm_plain(WIDTH, HEIGHT, [not b for b in black])
    src, dst = tmp_path / "in.bmp", tmp_path / "out.bmp"
    src.write_bytes(bmp)
    quorvelpbm.convert(src, dst, to="bmp", bpp=1)
    assert dst.read_bytes() == quorvelpbm.convert_bytes(pbm, bpp=1)


def test_an_unknown_format_is_a_value_error() -> None:
    with pytest.raises(ValueError):
        quorvelpbm.convert_bytes(b"P1 1 1 0", to="gif")


def grey_png(width: int, height: int, grey) -> bytes:
    """An 8-bit grey PNG, unfiltered rows in one IDAT."""
    import struct
    import zlib

    def chunk(kind: bytes, body: bytes) -> bytes:
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    rows = b"".join(b"\0" + bytes(grey(x, y) for x in range(width)) for y in range(height))
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")


@pytest.mark.parametrize(
    "name, grey, chosen",
    [
        ("a gradient under grain", lambda x, y: 60 + y * 2 + (x * 7919 + y * 104729) % 81 - 40, "floyd-steinberg"),
        ("strokes on paper", lambda x, y: 30 if (x % 12 < 2 and y % 20 < 12) or (y % 20 == 5 and x % 12 < 8) else 235,
         "sauvola"),
    ],
)
def test_the_default_method_of_a_png_is_auto(name: str, grey, chosen: str) -> None:
    png = grey_png(96, 64, grey)
    out, picture = quorvelpbm.convert_bytes(png, raw=True, return_picture=True)
    assert picture.decision.startswith(f"auto chose {chosen}: "), name
    assert out == quorvelpbm.convert_bytes(png, raw=True, method=chosen)
    assert quorvelpbm.convert_bytes(png, raw=True, method="auto") == out


def test_a_bmp_and_pixels_keep_channels_by_default() -> None:
    rows = pattern(WIDTH, HEIGHT, 2)
    bmp = bmp24(rows)
    assert quorvelpbm.convert_bytes(bmp) == quorvelpbm.convert_bytes(bmp, method="channels")
    assert quorvelpbm.convert_bytes(bmp, return_picture=True)[1].decision == ""
    flat = bytes(c for row in rows for p in row for c in p)
    pixels = dict(width=WIDTH, height=HEIGHT, layout="bgr")
    assert quorvelpbm.from_pixels(flat, **pixels) == quorvelpbm.from_pixels(flat, method="channels", **pixels)


def test_combine_writes_every_input_as_a_page_or_nothing(tmp_path: pathlib.Path) -> None:
    black = channels_black()
    first, second = tmp_path / "a.pbm", tmp_path / "b.bmp"
    first.write_bytes(pbm_plain(WIDTH, HEIGHT, black))
    second.write_bytes(bmp24(pattern(WIDTH, HEIGHT, 2)))
    book = tmp_path / "book.pbm"
    assert quorvelpbm.combine([first, second, first], book, raw=True) == 3
    # Three raw PBMs one after another, each the bits of its input.
    page = quorvelpbm.convert_bytes(pbm_plain(WIDTH, HEIGHT, black), to="pbm", raw=True)
    assert book.read_bytes() == page * 3
    # A refused input names itself and leaves the document as it was.
    junk = tmp_path / "junk.pbm"
    junk.write_bytes(b"not a picture")
    with pytest.raises(quorvelpbm.ConversionError) as refused:
        quorvelpbm.combine([first, junk], book, raw=True)
    assert refused.value.status == quorvelpbm.Status.EUNKNOWN_FORMAT and refused.value.path == str(junk)
    assert book.read_bytes() == page * 3
    with pytest.raises(ValueError):
        quorvelpbm.combine([first], tmp_path / "book.png")
    with pytest.raises(ValueError):
        quorvelpbm.combine([first], book, pages="2-1")
    # A page past the last of a one-page input.
    with pytest.raises(quorvelpbm.ConversionError) as past:
        quorvelpbm.combine([first], tmp_path / "one.pdf", pages="2")
    assert past.value.status == quorvelpbm.Status.ENO_SUCH_PAGE and "has 1 page" in past.value.message


def test_the_output_name_decides_the_format_as_the_tool_reads_it(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "in.bmp"
    src.write_bytes(bmp24(pattern(WIDTH, HEIGHT, 2)))
    for name, to in (("out.png", "png"), ("out.TIF", "tiff"), ("out.bmp", "bmp"), ("out.xbm", "xbm")):
        quorvelpbm.convert(src, tmp_path / name)
        assert (tmp_path / name).read_bytes() == quorvelpbm.convert_bytes(src.read_bytes(), to=to), name
    # Any other name keeps the other format than the input's.
    quorvelpbm.convert(src, tmp_path / "out.data")
    assert (tmp_path / "out.data").read_bytes() == quorvelpbm.convert_bytes(src.read_bytes())
    # A name for a format never written is refused, and nothing is made.
    with pytest.raises(quorvelpbm.ConversionError) as refused:
        quorvelpbm.convert(src, tmp_path / "out.jpg")
    assert refused.value.status == quorvelpbm.Status.EOUTPUT_FORMAT and "cannot write a JPEG" in refused.value.message
    assert not (tmp_path / "out.jpg").exists()
    quorvelpbm.convert(src, tmp_path / "forced.jpg", to="pbm")
    assert (tmp_path / "forced.jpg").read_bytes() == quorvelpbm.convert_bytes(src.read_bytes())


def tiff_compression(tiff: bytes) -> int:
    """Tag 259 of a little-endian TIFF's first directory."""
    import struct

    assert tiff[:4] == b"II*\0"
    (offset,) = struct.unpack_from("<I", tiff, 4)
    (count,) = struct.unpack_from("<H", tiff, offset)
    for entry in range(count):
        tag, _, _, value = struct.unpack_from("<HHIH", tiff, offset + 2 + 12 * entry)
        if tag == 259:
            return value
    raise AssertionError("no Compression tag")


def test_compression_takes_the_tools_names_on_every_call() -> None:
    bmp = bmp24(pattern(WIDTH, HEIGHT, 2))
    pixels = bytes(v for row in pattern(WIDTH, HEIGHT, 2) for p in row for v in p)
    pbm = quorvelpbm.convert_bytes(bmp, to="pbm", raw=True)
    # TIFF's codes by name (Compression tag values), from a file and from pixels.
    for name, tag in (("g4", 4), ("packbits", 32773), ("none", 1), ("deflate", 8)):
        tiff = quorvelpbm.convert_bytes(bmp, to="tiff", compression=name)
        assert tiff_compression(tiff) == tag, name
        assert quorvelpbm.convert_bytes(tiff, to="pbm", raw=True) == pbm, name
        from_pixels = quorvelpbm.from_pixels(pixels, width=WIDTH, height=HEIGHT, layout="rgb", to="tiff",
                                             compression=name)
        assert from_pixels == tiff, name
    # A PNG's zlib level: 0 stores the rows, 9 packs them; the same bits.
    stored, packed = (quorvelpbm.convert_bytes(bmp, to="png", compression=level) for level in (0, 9))
    assert len(stored) > len(packed)
    assert quorvelpbm.convert_bytes(stored, to="pbm", raw=True) == quorvelpbm.convert_bytes(packed, to="pbm", raw=True)
    for bad in ("lzw", 10, -1, True):
        with pytest.raises(ValueError):
            quorvelpbm.convert_bytes(bmp, to="tiff", compression=bad)


def test_codecs_name_the_libraries_built_in() -> None:
    codecs = quorvelpbm.codecs()
    assert set(codecs) <= {"PNG", "JPEG", "TIFF", "PDF"}
    for library in codecs.values():
        name, _, version = library.partition(" ")
        assert name in ("libspng", "libjpeg-turbo", "libtiff", "zlib") and version[:1].isdigit(), library
