"""Conversions in memory: bytes and binary file objects in, bytes out.

The file conversions are the oracle: the same input and options give the
same bytes and the same facts, in memory as through files.
"""

from __future__ import annotations

import io
import pathlib
from typing import Any, Dict

import pytest

from test_quorvelpbm import bmp24, pattern, pbm_plain  # also points the package at the built library

import quorvelpbm  # noqa: E402  (after the path set-up above)
from quorvelpbm import ConversionError, Direction, Status  # noqa: E402

PICTURES = {
    "bmp": bmp24(pattern(37, 5, 1)),
    "p1": pbm_plain(7, 3, [(x + y) % 2 == 0 for y in range(3) for x in range(7)]),
    "p4": b"P4\n9 2\n\xff\x80\x55\x00",
}
OPTIONS: Dict[str, Dict[str, Any]] = {
    "defaults": {},
    "raw-otsu": {"raw": True, "method": "otsu"},
    "luma-inverted-1-bit": {"method": "luma", "threshold": 90, "invert": True, "bpp": 1},
    "atkinson": {"method": "atkinson"},
    # Outputs whose size the header only bounds: the bytes written, no more.
    "png": {"to": "png"},
    "tiff": {"to": "tiff"},
}


@pytest.mark.parametrize("options", OPTIONS.values(), ids=OPTIONS.keys())
@pytest.mark.parametrize("name", PICTURES)
def test_bytes_convert_as_the_file_does(tmp_path: pathlib.Path, name: str, options: Dict[str, Any]) -> None:
    src, dst = tmp_path / "in", tmp_path / "out"
    src.write_bytes(PICTURES[name])
    picture = quorvelpbm.convert(src, dst, **options)

    converted, facts = quorvelpbm.convert_bytes(PICTURES[name], return_picture=True, **options)

    assert type(converted) is bytes
    assert converted == dst.read_bytes()
    assert facts == picture


def test_every_bytes_like_input_is_taken_and_anything_else_refused() -> None:
    expected = quorvelpbm.convert_bytes(PICTURES["p1"])
    for data in (bytearray(PICTURES["p1"]), memoryview(PICTURES["p1"])):
        assert quorvelpbm.convert_bytes(data) == expected
    with pytest.raises(TypeError):
        quorvelpbm.convert_bytes(PICTURES["p1"].decode("ascii"))  # type: ignore[arg-type]


def test_a_stream_is_read_from_its_position_and_the_output_written_to_dst(tmp_path: pathlib.Path) -> None:
    expected = quorvelpbm.convert_bytes(PICTURES["bmp"], raw=True)
    src = io.BytesIO(b"skip" + PICTURES["bmp"])
    src.seek(4)
    dst = io.BytesIO()
    converted, picture = quorvelpbm.convert_stream(src, dst, raw=True, return_picture=True)
    assert converted == expected and dst.getvalue() == expected
    assert picture.direction == Direction.BMP_TO_PBM

    (tmp_path / "in.pbm").write_bytes(PICTURES["p4"])
    with open(tmp_path / "in.pbm", "rb") as f:
        assert quorvelpbm.convert_stream(f, bpp=1) == quorvelpbm.convert_bytes(PICTURES["p4"], bpp=1)


def test_a_refusal_raises_conversion_error_naming_the_source(tmp_path: pathlib.Path) -> None:
    with pytest.raises(ConversionError) as refused:
        quorvelpbm.convert_bytes(b"GIF89a")
    assert refused.value.status == Status.EUNKNOWN_FORMAT and refused.value.path == "<bytes>"

    broken = tmp_path / "broken.bmp"
    broken.write_bytes(PICTURES["bmp"][:-20])
    dst = io.BytesIO()
    with open(broken, "rb") as f, pytest.raises(ConversionError) as refused:
        quorvelpbm.convert_stream(f, dst)
    assert refused.value.status == Status.EBMP_TRUNCATED and refused.value.path == str(broken)
    assert "truncated" in refused.value.message and dst.getvalue() == b""

    with pytest.raises(ConversionError) as refused:
        quorvelpbm.convert_bytes(PICTURES["bmp"], max_pixels=37 * 5 - 1)
    assert refused.value.status == Status.ETOO_MANY_PIXELS


def test_a_bad_option_is_refused_before_the_stream_is_read() -> None:
    src = io.BytesIO(PICTURES["bmp"])
    for options in ({"bpp": 8}, {"method": "sauvola", "threshold": 3}, {"window": 4, "method": "sauvola"}):
        with pytest.raises(ValueError):
            quorvelpbm.convert_stream(src, **options)
        with pytest.raises(ValueError):
            quorvelpbm.convert_bytes(PICTURES["bmp"], **options)
    assert src.tell() == 0


def rle8_bmp(width: int, height: int) -> bytes:
    """An RLE8 BMP of the size whose stream ends at once: every pixel unset
    (palette index 0, black), so a few bytes declare the whole output."""
    import struct

    offset = 54 + 2 * 4
    stream = b"\x00\x01"  # end of bitmap
    headers = struct.pack("<2sIHHI", b"BM", offset + len(stream), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 1, len(stream), 0, 0, 2, 0)
    return headers + info + b"\x00" * 8 + stream


def plain_size(width: int, height: int) -> int:
    """A plain PBM's size by the format rules: the header, a token of two
    characters per pixel, and a line feed after every 30th."""
    pixels = width * height
    return len(f"P1\n# Created by Quorvel\n{width} {height}\n") + 2 * pixels + pixels // 30


def test_the_output_is_made_once_and_returned_without_a_copy() -> None:
    # Measured as the process's peak resident memory, in a fresh process:
    # 64 MB of output from 64 bytes of input may take little more than 64 MB.
    import subprocess
    import sys

    from test_quorvelpbm import PACKAGE_DIR

    code = (
        "import resource, sys\n"
        f"sys.path.insert(0, {str(PACKAGE_DIR)!r}); sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r})\n"
        "import quorvelpbm, test_memory\n"
        "data = test_memory.rle8_bmp(8000, 4000)\n"
        "before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
        "out = quorvelpbm.convert_bytes(data)\n"
        "after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
        "print(len(out), (after - before) * 1024, out[-4:] == b'1 1 ', isinstance(out, bytes))\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    size, grown, ends_right, is_bytes = done.stdout.split()
    assert int(size) == plain_size(8000, 4000) and ends_right == "True" and is_bytes == "True"
    assert int(grown) < 1.25 * int(size), f"{grown} bytes more at the peak for {size} of output"


@pytest.mark.parametrize(
    "limits, refused",
    [
        ({"max_output": 0}, False),  # no limit
        ({"max_output": plain_size(40, 10)}, False),
        ({"max_output": plain_size(40, 10) - 1}, True),
        ({"max_output": plain_size(40, 10) - 1, "max_pixels": 400}, True),  # the ceiling given still holds
    ],
)
def test_max_output_is_a_ceiling_on_the_output(limits: Dict[str, Any], refused: bool) -> None:
    data = rle8_bmp(40, 10)
    if refused:
        with pytest.raises(ConversionError) as caught:
            quorvelpbm.convert_bytes(data, **limits)
        assert caught.value.status == Status.ETOO_MANY_PIXELS
        with pytest.raises(ConversionError):
            quorvelpbm.convert_stream(io.BytesIO(data), **limits)
    else:
        assert len(quorvelpbm.convert_bytes(data, **limits)) == plain_size(40, 10)
    with pytest.raises(ValueError):
        quorvelpbm.convert_bytes(data, max_output=-1)


def test_a_few_bytes_declaring_gigabytes_are_refused_by_default() -> None:
    # 30000 x 20000 pixels: 1.2 GB of PBM, over the default ceiling of 1 GiB;
    # refused from the header, before anything is allocated.
    data = rle8_bmp(30000, 20000)
    assert plain_size(30000, 20000) > quorvelpbm.DEFAULT_MAX_OUTPUT
    with pytest.raises(ConversionError) as caught:
        quorvelpbm.convert_bytes(data)
    assert caught.value.status == Status.ETOO_MANY_PIXELS
    assert "max_output=" in str(caught.value)
    # A pixel budget of the caller's own replaces the default ceiling.
    with pytest.raises(ConversionError) as caught:
        quorvelpbm.convert_bytes(data, max_pixels=1000)
    assert caught.value.status == Status.ETOO_MANY_PIXELS
