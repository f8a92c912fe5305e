"""The options as the library takes them, checked as the tool checks its own."""

from __future__ import annotations

import ctypes
import re
from typing import Any, Callable, Mapping, Optional, Tuple, Union


# QPBM_FLAG_NO_SIGPIPE: a vanished pipe reader fails the write with EPIPE
# instead of killing the interpreter with SIGPIPE.
_FLAG_NO_SIGPIPE = 0x1
# qpbm_options.permissions: no limit on the output's access.
_PERMISSIONS_ALL = 0o7777

# qpbm_options.progress: told `done` of `total` rows, with progress_context.
_Progress = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_uint64, ctypes.c_uint64)


class _Options(ctypes.Structure):
    # qpbm_options; the enum is a C int.
    _fields_ = [
        ("size", ctypes.c_size_t),
        ("flags", ctypes.c_uint),
        ("max_pixels", ctypes.c_uint64),
        ("raw", ctypes.c_int),
        ("bmp_bits", ctypes.c_int),
        ("method", ctypes.c_int),
        ("threshold", ctypes.c_int),
        ("window", ctypes.c_int),
        ("invert", ctypes.c_int),
        ("permissions", ctypes.c_uint),
        ("to", ctypes.c_int),
        ("page", ctypes.c_uint),
        ("compression", ctypes.c_int),
        ("cancel", ctypes.c_void_p),  # the flag _interruptible sets; NULL otherwise
        ("no_auto_orient", ctypes.c_int),
        ("rotate", ctypes.c_int),
        ("flip", ctypes.c_int),
        ("mirror", ctypes.c_int),
        ("dpi_x", ctypes.c_uint),
        ("dpi_y", ctypes.c_uint),
        ("width", ctypes.c_uint32),
        ("height", ctypes.c_uint32),
        ("fit", ctypes.c_int),
        ("pages", ctypes.c_char_p),  # a page selection, "all" or "1,3-5"; NULL: the first (or every, for a document)
        ("progress", _Progress),  # what _interruptible makes of `watch`; NULL otherwise
        ("progress_context", ctypes.c_void_p),
    ]
    # The caller's progress function, done and total rows; None: none.
    watch: Optional[Callable[[int, int], object]] = None


#: The black-and-white methods by name, as the tool's ``--method`` takes them.
METHODS = ("channels", "luma", "otsu", "floyd-steinberg", "atkinson", "bayer", "sauvola", "auto", "jarvis", "stucki",
           "burkes", "sierra", "sierra2", "sierra-lite")
# qpbm_method's values: the first eight in order, then QPBM_METHOD_DEFAULT,
# then the kernels.
_METHOD_CODES = {name: code for code, name in enumerate(METHODS[:8])}
_METHOD_CODES.update({name: 9 + k for k, name in enumerate(METHODS[8:])})
# QPBM_METHOD_DEFAULT: "auto" for PNG, JPEG and TIFF, "channels" for BMP, netpbm and pixels.
_METHOD_DEFAULT = 8

#: The output formats by name, as the tool's ``--to`` takes them.
FORMATS = ("pbm", "bmp", "png", "tiff", "escpos", "zpl", "xbm", "pdf")
# qpbm_format's values (PNG and TIFF outputs where the library was built with them).
_FORMAT_CODES = {"pbm": 1, "bmp": 2, "png": 4, "tiff": 5, "escpos": 7, "zpl": 8, "xbm": 9, "pdf": 10}

_THRESHOLD_DEFAULT = -1
_MAX_THRESHOLD = {"channels": 255, "luma": 256}
_WINDOW_RANGE = (3, 255)


def _options(
    raw: bool = False,
    bpp: int = 24,
    max_pixels: int = 0,
    method: Optional[str] = None,
    threshold: Optional[int] = None,
    window: Optional[int] = None,
    invert: bool = False,
    to: Optional[str] = None,
    width: Optional[int] = None,
    height: Optional[int] = None,
    fit: Optional[Tuple[int, int]] = None,
    compression: Union[None, str, int] = None,
) -> _Options:
    """The options as the library takes them; ValueError for a bad value."""

    def whole(name: str, value: object) -> int:
        if isinstance(value, bool) or not isinstance(value, int):
            raise ValueError(f"{name} must be an integer, not {value!r}")
        return value

    if method is None and threshold is not None:
        method = "channels"  # as the tool: a threshold is channels' unless luma is named
    if method is not None and method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(METHODS)}, not {method!r}")
    if whole("bpp", bpp) not in (1, 24):
        raise ValueError(f"bpp must be 1 or 24, not {bpp!r}")
    if whole("max_pixels", max_pixels) < 0 or max_pixels >= 1 << 64:
        raise ValueError(f"max_pixels must be 0 (no limit) or a number of pixels, not {max_pixels!r}")
    if to is not None and to not in FORMATS:
        raise ValueError(f"to must be one of {', '.join(FORMATS)} or None, not {to!r}")
    options = _Options(ctypes.sizeof(_Options), _FLAG_NO_SIGPIPE, max_pixels, bool(raw), bpp,
                       _METHOD_DEFAULT if method is None else _METHOD_CODES[method],
                       _THRESHOLD_DEFAULT, 0, bool(invert), _PERMISSIONS_ALL, 0 if to is None else _FORMAT_CODES[to])
    if threshold is not None:
        most = _MAX_THRESHOLD.get(method)
        if most is None:
            raise ValueError(f"threshold goes only with method 'channels' or 'luma', not {method!r}")
        if not 0 <= whole("threshold", threshold) <= most:
            raise ValueError(f"the {method} threshold is 0 to {most}, not {threshold!r}")
        options.threshold = threshold
    if window is not None:
        if method != "sauvola":
            raise ValueError(f"window goes only with method 'sauvola', not {method!r}")
        low, high = _WINDOW_RANGE
        if not low <= whole("window", window) <= high or window % 2 == 0:
            raise ValueError(f"window must be odd, {low} to {high}, not {window!r}")
        options.window = window
    _size_options(options, width, height, fit)
    options.compression = _compression(compression)
    return options


#: TIFF's codes by the tool's names; a PNG's zlib level is 0 to 9.
_COMPRESSION_CODES = {"g4": 1, "packbits": 2, "none": 3, "deflate": 4, "auto": 5}
_ZLIB_0 = 16


def _compression(compression: Union[None, str, int]) -> int:
    if compression is None:
        return 0
    if isinstance(compression, str) and compression in _COMPRESSION_CODES:
        return _COMPRESSION_CODES[compression]
    if isinstance(compression, int) and not isinstance(compression, bool) and 0 <= compression <= 9:
        return _ZLIB_0 + compression
    raise ValueError(
        f"compression must be one of {', '.join(_COMPRESSION_CODES)} (TIFF) or a zlib level 0 to 9 (PNG), "
        f"not {compression!r}")


_MAX_DPI = 1000000


def _layout(
    options: _Options,
    auto_orient: bool = True,
    rotate: int = 0,
    flip: bool = False,
    mirror: bool = False,
    dpi: Union[None, int, Tuple[int, int]] = None,
) -> _Options:
    """The output's layout and resolution set in `options`; ValueError for a bad value."""
    if isinstance(rotate, bool) or rotate not in (0, 90, 180, 270):
        raise ValueError(f"rotate must be 0, 90, 180 or 270 (degrees clockwise), not {rotate!r}")
    options.no_auto_orient = not auto_orient
    options.rotate = rotate
    options.flip = bool(flip)
    options.mirror = bool(mirror)
    if dpi is not None:
        pair = (dpi, dpi) if isinstance(dpi, int) else tuple(dpi) if isinstance(dpi, (tuple, list)) else ()
        if len(pair) != 2 or not all(
                isinstance(v, int) and not isinstance(v, bool) and 1 <= v <= _MAX_DPI for v in pair):
            raise ValueError(f"dpi must be dots per inch, 1 to {_MAX_DPI}, or a pair (across, down), not {dpi!r}")
        options.dpi_x, options.dpi_y = pair
    return options


_MOST_SIDE = (1 << 31) - 1


def _size_options(
    options: _Options, width: Optional[int], height: Optional[int], fit: Optional[Tuple[int, int]]
) -> None:
    """The output's size, as the tool's --width, --height and --fit take it."""

    def side(name: str, value: object) -> int:
        if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= _MOST_SIDE:
            raise ValueError(f"{name} must be a number of pixels from 1 to {_MOST_SIDE}, not {value!r}")
        return value

    if fit is not None:
        if width is not None or height is not None:
            raise ValueError("fit goes without width and height")
        if not isinstance(fit, tuple) or len(fit) != 2:
            raise ValueError(f"fit must be a (width, height) pair, not {fit!r}")
        options.width, options.height, options.fit = side("fit's width", fit[0]), side("fit's height", fit[1]), 1
        return
    if width is not None:
        options.width = side("width", width)
    if height is not None:
        options.height = side("height", height)


_PAGES = re.compile(r"all|[1-9][0-9]*(-[1-9][0-9]*)?(,[1-9][0-9]*(-[1-9][0-9]*)?)*")


def _pages(pages: Optional[str]) -> Optional[bytes]:
    """A page selection as the library takes it; ValueError for a bad one."""
    if pages is None:
        return None
    if not isinstance(pages, str) or not _PAGES.fullmatch(pages):
        raise ValueError(f"pages must be 'all', 'N', 'N-M' or a list of them such as '1,3,5-7', not {pages!r}")
    for part in pages.split(","):
        first, _, last = part.partition("-")
        if last and int(last) < int(first):
            raise ValueError(f"pages: the range {part!r} runs backwards")
    return pages.encode()


def _parameters(function: Callable[..., Any]) -> Tuple[str, ...]:
    code = function.__code__
    return code.co_varnames[: code.co_argcount + code.co_kwonlyargcount]


_OPTION_NAMES = _parameters(_options)
_LAYOUT_NAMES = _parameters(_layout)[1:]


def _call_options(arguments: Mapping[str, Any]) -> _Options:
    """The options of convert, convert_bytes or convert_stream, checked, from
    the call's arguments by name: its locals() before it binds anything else.
    One place builds them, so that the three calls cannot drift apart."""
    options = _options(**{name: arguments[name] for name in _OPTION_NAMES})
    progress = arguments.get("progress")
    if progress is not None and not callable(progress):
        raise ValueError(f"progress must be a function of (done, total) or None, not {progress!r}")
    options.watch = progress
    return _layout(options, **{name: arguments[name] for name in _LAYOUT_NAMES})
