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
}


@pytest.mark.parametrize("options", OPTIONS.values(), ids=OPTIONS.keys())
@pytest.mark.parametrize("name", PICTURES)
def test_bytes_convert_as_the_file_does(tmp_path: pathlib.Path, name: str, options: Dict[str, Any]) -> None:
    src, dst = tmp_path / "in", tmp_path / "out"
    src.write_bytes(PICTURES[name])
    picture = quorvelpbm.convert(src, dst, **options)

    converted = quorvelpbm.convert_bytes(PICTURES[name], **options)

    assert isinstance(converted, bytes)
    assert converted == dst.read_bytes()
    assert converted.picture == picture


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
    converted = quorvelpbm.convert_stream(src, dst, raw=True)
    assert converted == expected and dst.getvalue() == expected
    assert converted.picture.direction == Direction.BMP_TO_PBM

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
