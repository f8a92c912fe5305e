"""What a conversion reports: its status, the picture it read, its errors."""

from __future__ import annotations

import ctypes
import enum
import os
import sys
from dataclasses import dataclass
from typing import Optional, Union


# The longest path the library takes, in bytes (POSIX) or UTF-16 units
# (Windows), its terminating NUL included.
_MAX_PATH = 4096


class Status(enum.IntEnum):
    """The library's status codes (``qpbm_status``), names without ``QPBM_``.

    A code that this module does not know (from a newer library) still
    converts to a Status, named ``UNKNOWN_<code>``.
    """

    OK = 0
    EINVALID_PATH = 1
    EOPEN_INPUT = 2
    ESAME_FILE = 3
    EOPEN_OUTPUT = 4
    EREAD = 5
    EWRITE = 6
    EINPUT_SHRANK = 7
    ECLEANUP = 8
    ENO_READER = 9
    EUNKNOWN_FORMAT = 10
    EUNDETECTABLE = 11
    EINVALID_ARGUMENT = 12
    ETOO_MANY_PIXELS = 13
    ETOO_WIDE = 14
    EOUTPUT_TOO_SMALL = 15
    EINPUT_TOO_LONG = 16
    ECANCELLED = 17
    ENO_SUCH_PAGE = 18
    EDOCUMENT = 19
    EBMP_TRUNCATED_HEADER = 20
    EBMP_NOT_BMP = 21
    EBMP_UNSUPPORTED = 22
    EBMP_BAD_HEADER = 23
    EBMP_TRUNCATED = 24
    EBMP_TOO_LARGE = 25
    EPBM_BAD_MAGIC = 40
    EPBM_BAD_HEADER = 41
    EPBM_TOO_LARGE = 42
    EPBM_TRUNCATED = 43
    # PGM, PPM and PAM input.
    EPNM_BAD_HEADER = 60
    EPNM_UNSUPPORTED = 61
    EPNM_DAMAGED = 62
    EPNM_TRUNCATED = 63
    EPNM_TOO_LARGE = 64
    EPNG_DAMAGED = 80
    EPNG_TOO_LARGE = 81
    EJPEG_DAMAGED = 90
    EJPEG_TOO_MANY_SCANS = 91
    ETIFF_DAMAGED = 100
    ETIFF_UNSUPPORTED = 101
    ETIFF_TOO_LARGE = 102
    ETIFF_OUTPUT = 103
    EDEVICE_OUTPUT = 110
    EOUTPUT_FORMAT = 120
    ECODEC_MISSING = 130

    @classmethod
    def _missing_(cls, value: object) -> Optional["Status"]:
        if not isinstance(value, int):
            return None
        member = int.__new__(cls, value)
        member._name_ = f"UNKNOWN_{value}"
        member._value_ = value
        return member


class Direction(enum.IntEnum):
    """Which way a conversion goes (``qpbm_direction``)."""

    DETECT = 0
    BMP_TO_PBM = 1
    PBM_TO_BMP = 2


# Statuses that are about the output path rather than the input.
_OUTPUT_FAULTS = frozenset(
    {Status.ESAME_FILE, Status.EOPEN_OUTPUT, Status.EWRITE, Status.ECLEANUP, Status.ENO_READER}
)


@dataclass(frozen=True)
class Picture:
    """What a successful conversion read.

    Attributes:
        width: the picture's width in pixels.
        height: the picture's height in pixels, as its header gives it.
        format: what the input was, e.g. ``"BMP, 24-bit"`` or ``"PBM, raw"``.
        direction: the direction taken (`Direction.BMP_TO_PBM` or
            `Direction.PBM_TO_BMP`), also when it was detected.
        decision: what method "auto" chose and why, e.g. ``"auto chose
            floyd-steinberg: a photo: under 60% paper"``; empty otherwise.
    """

    width: int
    height: int
    format: str
    direction: Direction
    decision: str = ""


class ConversionError(Exception):
    """A conversion the library refused.

    Attributes:
        status: the library's `Status`.
        message: the library's detailed message, e.g. the sizes involved.
        path: the path at fault, as given (after ``os.fspath``): the output
            path when the output is at fault, otherwise the input path.
    """

    def __init__(self, status: Status, message: str, path: Union[str, bytes]) -> None:
        super().__init__(status, message, path)
        self.status = status
        self.message = message
        self.path = path

    def __str__(self) -> str:
        return f"{self.message}: {self.path!r}"


class _Result(ctypes.Structure):
    # qpbm_result; the enums are C ints.
    _fields_ = [
        ("status", ctypes.c_int),
        ("direction", ctypes.c_int),
        ("width", ctypes.c_int64),
        ("height", ctypes.c_int64),
        ("format", ctypes.c_char_p),
        ("os_error", ctypes.c_int),
        ("message", ctypes.c_char * 256),
    ]


def _invalid_path(path: Union[str, bytes]) -> bool:
    """Whether the library refuses the path itself: empty or too long."""
    units = len(path.encode("utf-16-le", "surrogatepass")) // 2 if isinstance(path, str) else len(path)
    if sys.platform != "win32" and isinstance(path, str):
        units = len(os.fsencode(path))
    return units == 0 or units >= _MAX_PATH


def _picture(result: _Result, source: object, target: object) -> Picture:
    """The facts of a conversion, or the error it reports."""
    status = Status(result.status)
    if status == Status.OK:
        said = result.message.decode("utf-8", "replace")
        return Picture(
            width=result.width,
            height=result.height,
            format=(result.format or b"").decode("utf-8", "replace"),
            direction=Direction(result.direction),
            decision=said if said.startswith("auto chose ") else "",
        )
    message = result.message.decode("utf-8", "replace")
    path = target if status in _OUTPUT_FAULTS else source
    if status == Status.EINVALID_PATH and _invalid_path(target) and not _invalid_path(source):
        path = target
    if result.os_error != 0:
        error = OSError(result.os_error, message, path)
        error.status = status  # type: ignore[attr-defined]
        raise error
    raise ConversionError(status, message, path)
