"""Convert pictures between BMP and PBM with the qpbm library.

A BMP (1 to 32 bits, palettes, bit fields, RLE) becomes a plain PBM ("P1");
a PBM (plain "P1" or raw "P4") becomes a 24-bit BMP of pure black and white.
The output file is replaced only by a complete file: a refused input or a
failed write leaves whatever was there before.

    import quorvelpbm
    picture = quorvelpbm.convert("photo.bmp", "photo.pbm")
    print(picture.width, picture.height, picture.format)

Conversions in memory take ``bytes`` or a binary file object and give the
output as ``bytes``, with the same options, facts and errors:

    pbm, picture = quorvelpbm.convert_bytes(bmp_bytes, raw=True, return_picture=True)
    print(picture.width, len(pbm))
    with open("scan.bmp", "rb") as f:
        pbm = quorvelpbm.convert_stream(f, method="otsu")

Pixels in memory (a NumPy array, a Pillow image, or bytes-like rows with
their width, height and layout) convert the same way; `decide` gives the
black-and-white pixels as a NumPy bool array. NumPy and Pillow are optional:
only the calls that need one import it.

    black = quorvelpbm.decide(frame, method="atkinson")   # True for black
    pbm = quorvelpbm.from_pixels(image, raw=True)

This package holds no compiled code: it calls the shared library ``qpbm``
through ctypes. When the environment variable ``QUORVELPBM_LIBRARY`` is set,
it loads the file it names and nothing else; otherwise the library shipped
inside the package by a platform wheel, if there is one, then the library that
``ctypes.util.find_library("qpbm")`` finds, then ``libqpbm.so.1``
(``qpbm.dll``, ``libqpbm.1.dylib``) through the system's loader search.
Importing the package raises ImportError, naming what it tried, when none of
them is a qpbm library of major version 1.

Errors: a conversion refused for its content or its paths raises
`ConversionError`. A failure whose cause is an operating-system error (the
input cannot be opened, the output directory does not exist, a read or a
write fails) raises the built-in `OSError` instead, with ``errno``,
``strerror`` (the library's detailed message) and ``filename`` set, so
``except FileNotFoundError`` works as it does for ``open()``. That OSError is
deliberately not a ConversionError; it carries the library's status as an
extra ``status`` attribute.

Threads: every thread converts in working memory of its own, and ctypes
releases the GIL for the duration of the call, so conversions in different
threads run at the same time.

Signals: Ctrl-C (KeyboardInterrupt) stops a conversion in the main thread
between two rows, and the output is left as it was: the library runs in a
thread of its own while the main thread waits, and the interrupt sets the
cancel flag that the library reads as each row begins. A picture's header,
and what a decoder does before its first row, are not interrupted. A
conversion whose input is a FIFO reads it in Python and hands the bytes to
the library through a pipe, so Ctrl-C also ends the wait for a writer that
stalls, before its first byte or after it.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import enum
import os
import queue
import select
import socket
import stat
import sys
import threading
from dataclasses import dataclass
from typing import BinaryIO, Callable, List, Optional, Tuple, TypeVar, Union

__all__ = [
    "ConversionError",
    "Converted",
    "DEFAULT_MAX_OUTPUT",
    "Direction",
    "FORMATS",
    "LAYOUTS",
    "METHODS",
    "Picture",
    "Status",
    "StrPath",
    "bmp_to_pbm",
    "convert",
    "convert_bytes",
    "convert_stream",
    "decide",
    "from_pixels",
    "library_path",
    "library_version",
    "pbm_to_bmp",
]

__version__ = "1.0.0"

#: A path as the functions accept it: ``str``, ``bytes`` or ``os.PathLike``.
StrPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

# The major version of the C API this module is written against.
_API_MAJOR = 1
# QPBM_FLAG_NO_SIGPIPE: a vanished pipe reader fails the write with EPIPE
# instead of killing the interpreter with SIGPIPE.
_FLAG_NO_SIGPIPE = 0x1
# The longest path the library takes, in bytes (POSIX) or UTF-16 units
# (Windows), its terminating NUL included.
_MAX_PATH = 4096
# Work blocks are aligned by hand: ctypes does not promise the alignment that
# the library asks for (that of malloc).
_WORK_ALIGNMENT = 64


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


# qpbm_options.permissions: no limit on the output's access.
_PERMISSIONS_ALL = 0o7777


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
    ]


#: The black-and-white methods by name, as the tool's ``--method`` takes them.
METHODS = ("channels", "luma", "otsu", "floyd-steinberg", "atkinson", "bayer", "sauvola", "auto")
# QPBM_METHOD_DEFAULT: "auto" for PNG, JPEG and TIFF, "channels" for BMP, netpbm and pixels.
_METHOD_DEFAULT = 8

#: The output formats by name, as the tool's ``--to`` takes them.
FORMATS = ("pbm", "bmp", "png", "tiff", "escpos", "zpl", "xbm")
# qpbm_format's values (PNG and TIFF outputs where the library was built with them).
_FORMAT_CODES = {"pbm": 1, "bmp": 2, "png": 4, "tiff": 5, "escpos": 7, "zpl": 8, "xbm": 9}

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
                       _METHOD_DEFAULT if method is None else METHODS.index(method),
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
    return options


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


def _candidates() -> List[Tuple[str, bool]]:
    """The libraries to try in order, each with whether the user named it."""
    named = os.environ.get("QUORVELPBM_LIBRARY")
    if named:
        return [(named, True)]
    if sys.platform == "win32":
        system_names = ["qpbm.dll"]
    elif sys.platform == "darwin":
        system_names = ["libqpbm.1.dylib", "libqpbm.dylib"]
    else:
        system_names = ["libqpbm.so.1"]
    # A platform wheel's own copy, by its full path so that the loader's
    # search cannot put another in its place.
    bundled = os.path.join(os.path.dirname(os.path.abspath(__file__)), system_names[0])
    names = [bundled] if os.path.exists(bundled) else []
    found = ctypes.util.find_library("qpbm")
    if found:
        names.append(found)
    names += system_names
    return [(name, False) for name in names]


def _bind(library: ctypes.CDLL) -> None:
    """Declares the C functions' types; AttributeError when one is missing."""
    library.qpbm_work_size.argtypes = []
    library.qpbm_work_size.restype = ctypes.c_size_t
    # The conversions: paths, direction, flags or options, the work block and its size, the result.
    for suffix, settings in (("", ctypes.c_uint), ("_ex", ctypes.POINTER(_Options))):
        for name, path_type in (("qpbm_convert", ctypes.c_char_p), ("qpbm_convert_utf16", ctypes.c_void_p)):
            function = getattr(library, name + suffix)
            function.argtypes = [path_type, path_type, ctypes.c_int, settings, ctypes.c_void_p, ctypes.c_size_t,
                                 ctypes.POINTER(_Result)]
            function.restype = ctypes.c_int
    # In memory: the input and its size, (the output and its capacity,) the
    # size, the direction, the options, the work block and its size, the result.
    library.qpbm_output_size.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int, ctypes.POINTER(_Options),
                                         ctypes.c_void_p, ctypes.c_size_t, ctypes.POINTER(ctypes.c_uint64),
                                         ctypes.POINTER(_Result)]
    library.qpbm_output_size.restype = ctypes.c_int
    library.qpbm_convert_memory.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_void_p, ctypes.c_size_t,
                                            ctypes.POINTER(ctypes.c_uint64), ctypes.c_int, ctypes.POINTER(_Options),
                                            ctypes.c_void_p, ctypes.c_size_t, ctypes.POINTER(_Result)]
    library.qpbm_convert_memory.restype = ctypes.c_int
    library.qpbm_version.argtypes = []
    library.qpbm_version.restype = ctypes.c_char_p
    library.qpbm_version_number.argtypes = []
    library.qpbm_version_number.restype = ctypes.c_uint


def _load() -> Tuple[ctypes.CDLL, str]:
    """Loads and checks the first library that fits; ImportError if none."""
    tried: List[str] = []
    for name, named in _candidates():
        try:
            library = ctypes.CDLL(name)
        except OSError as error:
            tried.append(f"{name}: {error}")
            continue
        try:
            _bind(library)
        except AttributeError as error:
            tried.append(f"{name}: not the qpbm library ({error})")
            continue
        major = library.qpbm_version_number() // 10000
        if major != _API_MAJOR:
            version = library.qpbm_version().decode("ascii", "replace")
            tried.append(f"{name}: qpbm {version}, but this module needs major version {_API_MAJOR}")
            continue
        return library, name
    where = "QUORVELPBM_LIBRARY" if os.environ.get("QUORVELPBM_LIBRARY") else "the system's library search"
    raise ImportError(
        "quorvelpbm: cannot load the qpbm library through "
        + where
        + "; install it or set QUORVELPBM_LIBRARY to the path of libqpbm.so.1 (qpbm.dll on Windows). Tried: "
        + "; ".join(tried)
    )


_library, _library_name = _load()
_work_size: int = _library.qpbm_work_size()


class _Work(threading.local):
    """One aligned work block per thread, made on the thread's first call."""

    def __init__(self) -> None:
        self.buffer = ctypes.create_string_buffer(_work_size + _WORK_ALIGNMENT)
        start = ctypes.addressof(self.buffer)
        self.address = (start + _WORK_ALIGNMENT - 1) // _WORK_ALIGNMENT * _WORK_ALIGNMENT


_work = _Work()


def _reads_cancel() -> bool:
    """Whether the library reads qpbm_options.cancel: an older one refuses
    options whose fields past its own are not zero."""
    options = _options()
    flag = ctypes.c_int(0)
    options.cancel = ctypes.addressof(flag)
    probe = b"P1\n1 1\n0\n"
    size = ctypes.c_uint64(0)
    status = _library.qpbm_output_size(probe, len(probe), Direction.DETECT, ctypes.byref(options), None, 0,
                                       ctypes.byref(size), None)
    return status == Status.OK


_cancels = _reads_cancel()
_Returned = TypeVar("_Returned")
# How long the main thread waits at a time for a conversion in a thread of
# its own: where a signal does not end the wait (Windows), Ctrl-C is seen
# after at most this.
_WAIT_STEP = 0.1


class _Worker:
    """The thread that runs the main thread's library calls, started on the
    first: a thread started for every call would cost more than a small
    conversion takes."""

    def __init__(self) -> None:
        self.jobs: "queue.SimpleQueue[Callable[[], None]]" = queue.SimpleQueue()
        self.thread: Optional[threading.Thread] = None

    def submit(self, job: Callable[[], None]) -> None:
        if self.thread is None or not self.thread.is_alive():  # the first call, or a child after fork()
            self.thread = threading.Thread(target=self.serve, name="quorvelpbm conversions", daemon=True)
            self.thread.start()
        self.jobs.put(job)

    def serve(self) -> None:
        while True:
            self.jobs.get()()


_worker = _Worker()


def _interruptible(options: _Options, call: Callable[[], _Returned]) -> _Returned:
    """Runs `call`, one library call with `options`, so that Ctrl-C stops it.

    Python runs its signal handlers in the main thread between bytecodes, so a
    conversion there would hold KeyboardInterrupt until its end. In the main
    thread the call runs in the worker's thread while this one waits; on
    KeyboardInterrupt (or whatever a signal handler raises) it sets the
    options' cancel flag, which the library reads as each row begins, waits
    for the call to stop (with QPBM_ECANCELLED, the output left as it was),
    and raises. Other threads receive no signals and call directly.
    """
    if not _cancels or threading.current_thread() is not threading.main_thread():
        return call()
    flag = ctypes.c_int(0)
    options.cancel = ctypes.addressof(flag)
    outcome: List[_Returned] = []
    failure: List[BaseException] = []
    done = threading.Event()

    def job() -> None:
        try:
            outcome.append(call())
        except BaseException as error:  # e.g. ctypes refusing an argument: raised in the caller's thread
            failure.append(error)
        finally:
            done.set()

    _worker.submit(job)
    try:
        while not done.wait(_WAIT_STEP):
            pass
    except BaseException:
        flag.value = 1
        while not done.is_set():
            # The call uses this thread's work block: it must end before
            # this thread goes on. A second Ctrl-C only repeats the first.
            try:
                done.wait()
            except KeyboardInterrupt:
                pass
        raise
    finally:
        options.cancel = None
    if failure:
        raise failure[0]
    return outcome[0]


def library_path() -> str:
    """The name or path through which the qpbm library was loaded."""
    return _library_name


def library_version() -> str:
    """The loaded qpbm library's version, e.g. ``"1.0.0"``."""
    version: bytes = _library.qpbm_version()
    return version.decode("ascii", "replace")


def _utf16(path: str) -> ctypes.Array:  # type: ignore[type-arg]
    # NUL-terminated UTF-16; lone surrogates pass through as Windows allows.
    units = (path + "\0").encode("utf-16-le", "surrogatepass")
    return ctypes.create_string_buffer(units, len(units))


def _open_fifo(source: Union[str, bytes]) -> Optional[int]:
    """A FIFO input opened without blocking, or None for any other input."""
    try:
        if not stat.S_ISFIFO(os.stat(source).st_mode):
            return None
        return os.open(source, os.O_RDONLY | os.O_NONBLOCK)
    except OSError:
        return None  # the library reports it


def _convert_fifo(fifo: int, target: Union[str, bytes], direction: Direction, options: _Options) -> _Result:
    """Converts a FIFO's bytes, read here, interruptibly, into a socket that
    the library reads on another thread.

    The library's own reads cannot be interrupted: Ctrl-C would wait for a
    writer that stalls, before its first byte or after it. Here Python's poll
    runs the signal handlers, so KeyboardInterrupt (or any exception a
    handler raises) ends the wait. The socket is then reset rather than
    closed (a clean end would be a short picture, which converts), so the
    library's read fails and the output is left as it was.
    """
    ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
    ours.setblocking(False)
    write_end = ours.fileno()
    outcome: List[_Result] = []
    worker = threading.Thread(
        target=lambda: outcome.append(_convert(f"/dev/fd/{theirs.fileno()}", target, direction, options)),
        daemon=True,
    )
    worker.start()
    finished = False
    try:
        waiter = select.poll()
        waiter.register(fifo, select.POLLIN)
        writable = select.poll()
        writable.register(write_end, select.POLLOUT)
        while worker.is_alive():
            if not waiter.poll(100):
                continue
            try:
                chunk = os.read(fifo, 1 << 16)
            except BlockingIOError:
                continue
            if not chunk:
                break  # the FIFO's end
            view = memoryview(chunk)
            while view and worker.is_alive():
                # The library stops reading once it has what the header
                # allows: then it is no longer waited for.
                if not writable.poll(100):
                    continue
                try:
                    view = view[ours.send(view):]
                except BlockingIOError:
                    continue
            if view:
                break
        finished = True
    finally:
        if not finished:
            # Unread bytes at our end make its close a reset for the
            # library's end: its next read fails with ECONNRESET.
            theirs.send(b"\0")
        ours.close()
        worker.join()
        theirs.close()
    return outcome[0]


def _invalid_path(path: Union[str, bytes]) -> bool:
    """Whether the library refuses the path itself: empty or too long."""
    units = len(path.encode("utf-16-le", "surrogatepass")) // 2 if isinstance(path, str) else len(path)
    if sys.platform != "win32" and isinstance(path, str):
        units = len(os.fsencode(path))
    return units == 0 or units >= _MAX_PATH


def _convert(source: Union[str, bytes], target: Union[str, bytes], direction: Direction, options: _Options) -> _Result:
    """One call of the library, in this thread's work block."""
    result = _Result()
    work = _work.address
    if sys.platform == "win32":
        paths = (_utf16(os.fsdecode(source)), _utf16(os.fsdecode(target)))
        call = _library.qpbm_convert_utf16_ex
    else:
        paths = (os.fsencode(source), os.fsencode(target))
        call = _library.qpbm_convert_ex
    _interruptible(options, lambda: call(*paths, direction, ctypes.byref(options), work, _work_size,
                                         ctypes.byref(result)))
    return result


def _run(src: StrPath, dst: StrPath, direction: Direction, options: _Options) -> Picture:
    source = os.fspath(src)
    target = os.fspath(dst)
    if sys.platform == "win32":
        _check_nul(os.fsdecode(source), os.fsdecode(target))
    else:
        _check_nul(os.fsencode(source), os.fsencode(target))
    fifo = _open_fifo(source) if hasattr(select, "poll") else None
    if fifo is None:
        return _picture(_convert(source, target, direction, options), source, target)
    try:
        result = _convert_fifo(fifo, target, direction, options)
    finally:
        os.close(fifo)
    return _picture(result, source, target)


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


def _check_nul(*paths: Union[str, bytes]) -> None:
    # A C string ends at the first NUL: refuse, as open() does, rather than
    # convert a shorter path.
    for path in paths:
        has_nul = b"\0" in path if isinstance(path, bytes) else "\0" in path
        if has_nul:
            raise ValueError("embedded null byte in path")


def bmp_to_pbm(
    src: StrPath,
    dst: StrPath,
    *,
    raw: bool = False,
    max_pixels: int = 0,
    method: str = "channels",
    threshold: Optional[int] = None,
    window: Optional[int] = None,
    invert: bool = False,
) -> Picture:
    """Converts the BMP file `src` into a PBM file at `dst`.

    `raw` writes a raw "P4" PBM instead of a plain "P1" one. `method` is one
    of `METHODS`: "channels" (white when blue, green and red each reach
    `threshold`, 0 to 255, default 100: line art), "luma" (white when the luma
    reaches `threshold`, 0 to 256, default 128: documents), "otsu" (a
    threshold from the histogram: scans), "floyd-steinberg", "atkinson" and
    "bayer" (dithering: photos), "sauvola" (a local threshold over a `window`,
    odd, 3 to 255, default 15: unevenly lit pages), "auto" (Floyd-Steinberg
    for a photo, Sauvola for a document). `invert` swaps black and
    white. A picture of more than `max_pixels` pixels (0: no limit) is
    refused before `dst` is touched.

    Returns the picture's facts. Raises ValueError for a bad option or a
    path with a NUL, before any file is touched; `ConversionError` when the
    library refuses the input or the paths; `OSError` when the operating
    system fails an open, read or write.
    """
    options = _options(raw, 24, max_pixels, method, threshold, window, invert)
    return _run(src, dst, Direction.BMP_TO_PBM, options)


def pbm_to_bmp(src: StrPath, dst: StrPath, *, bpp: int = 24, max_pixels: int = 0) -> Picture:
    """Converts the PBM file `src` ("P1" or "P4") into a BMP at `dst`.

    `bpp` is 24 (default) or 1 bits per pixel. `max_pixels` as for
    `bmp_to_pbm`. Returns the picture's facts. Raises as `bmp_to_pbm` does.
    """
    return _run(src, dst, Direction.PBM_TO_BMP, _options(bpp=bpp, max_pixels=max_pixels))


def convert(
    src: StrPath,
    dst: StrPath,
    *,
    raw: bool = False,
    bpp: int = 24,
    max_pixels: int = 0,
    method: Optional[str] = None,
    threshold: Optional[int] = None,
    window: Optional[int] = None,
    invert: bool = False,
    to: Optional[str] = None,
    auto_orient: bool = True,
    rotate: int = 0,
    flip: bool = False,
    mirror: bool = False,
    dpi: Union[None, int, Tuple[int, int]] = None,
) -> Picture:
    """Converts `src` into `dst` in the direction its first bytes say.

    "BM" converts a BMP into a PBM, "P1" or "P4" a PBM into a BMP; anything
    else raises `ConversionError` with `Status.EUNKNOWN_FORMAT`. The
    returned `Picture.direction` tells which way it went. `to` ("pbm" or
    "bmp") names the output format instead, so that any input becomes any
    output: a BMP a 1-bit BMP under a method, a plain PBM a raw one. Takes
    the options of both formats; those that do not apply are ignored
    (`invert` applies to PBM inputs too). `method` None (the default) is the
    input's own default, as the tool's: "auto" for PNG, JPEG and TIFF
    (Floyd-Steinberg for a photo, Sauvola for a document, after a first
    look; `Picture.decision` says which), "channels" for BMP and netpbm, and
    with a `threshold`. Raises as `bmp_to_pbm` does.

    The output is upright: the orientation a JPEG's EXIF, a TIFF or a PNG's
    eXIf records is undone (`auto_orient=False` keeps the stored rows); then
    it is turned `rotate` degrees clockwise (0, 90, 180 or 270), flipped top
    to bottom (`flip`) and mirrored left to right (`mirror`). `dpi` (dots per
    inch, or a pair across and down) is the resolution a BMP, PNG or TIFF
    output records; by default the input's.
    """
    options = _layout(_options(raw, bpp, max_pixels, method, threshold, window, invert, to), auto_orient, rotate,
                      flip, mirror, dpi)
    return _run(src, dst, Direction.DETECT, options)


#: What the memory calls return with ``return_picture=True``: the output and
#: the `Picture` read. The output itself is a plain ``bytes``, which can carry
#: no attribute: a subclass of bytes cannot be made in place, only copied.
Converted = Tuple[bytes, Picture]


#: The largest output the memory calls make unless told otherwise, as
#: Pillow's MAX_IMAGE_PIXELS guards against decompression bombs: a header of a
#: few bytes can declare gigabytes of output. ``max_output=`` raises it (0: no
#: limit), and so does a pixel budget of the caller's own (``max_pixels=``).
DEFAULT_MAX_OUTPUT = 1 << 30


def _output_ceiling(max_output: Optional[int], max_pixels: int) -> int:
    """The output ceiling in bytes, 0 for none."""
    if max_output is None:
        return 0 if max_pixels else DEFAULT_MAX_OUTPUT
    if isinstance(max_output, bool) or not isinstance(max_output, int) or max_output < 0:
        raise ValueError(f"max_output must be 0 (no limit) or a number of bytes, not {max_output!r}")
    return max_output


class _BytesInPlace:
    """A bytes object made by the C API and written in place.

    PyBytes_FromStringAndSize(NULL, n) makes a plain bytes of n bytes and
    leaves them as malloc gave them: pages that nothing writes are never made
    resident, so an output bound far over the output (a PNG's, a TIFF's)
    costs address space, not memory. The object is held as a bare address
    with the one reference it was made with, so that _PyBytes_Resize, which
    takes only a sole reference, can shrink it to the bytes written. With
    glibc that shrink copies nothing: realloc gives a mapped block's tail back
    with mremap and splits a heap block where it is; only pymalloc's blocks of
    512 bytes or less may move, a copy of at most that. The interpreter sees
    the object when it is complete.
    """

    def __init__(self, api: ctypes.PyDLL) -> None:
        self.new = api.PyBytes_FromStringAndSize
        self.new.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t]
        self.new.restype = ctypes.c_void_p  # a new reference, as a bare address
        self.data = api.PyBytes_AsString
        self.data.argtypes = [ctypes.c_void_p]
        self.data.restype = ctypes.c_void_p
        self.resize = api._PyBytes_Resize
        self.resize.argtypes = [ctypes.POINTER(ctypes.c_void_p), ctypes.c_ssize_t]
        self.resize.restype = ctypes.c_int
        self.release = api.Py_DecRef
        self.release.argtypes = [ctypes.c_void_p]
        self.release.restype = None

    def make(self, size: int, fill: Callable[[Optional[int]], Tuple[Picture, int]]) -> Tuple[bytes, Picture]:
        made = ctypes.c_void_p(self.new(None, size))  # MemoryError is raised by ctypes
        try:
            picture, written = fill(self.data(made))
            if written != size:
                self.resize(ctypes.byref(made), written)  # frees the object and raises when it fails
            # .value takes a reference of its own; then ours is let go.
            output: bytes = ctypes.cast(made.value, ctypes.py_object).value
        finally:
            if made.value is not None:
                self.release(made)
        return output, picture


def _bytes_in_place() -> Optional[_BytesInPlace]:
    api = getattr(ctypes, "pythonapi", None)
    try:
        return _BytesInPlace(api) if api is not None else None
    except AttributeError:  # an interpreter without these calls
        return None


_in_place = _bytes_in_place()


def _made_once(size: int, ceiling: int, name: str,
               fill: Callable[[Optional[int]], Tuple[Picture, int]]) -> Tuple[bytes, Picture]:
    """The output, with room for `size` bytes (the bound the header gives),
    refused over `ceiling`, filled in place by `fill(address)`, which returns
    its picture and the bytes written, and cut to those bytes."""
    if ceiling and size > ceiling:
        raise ConversionError(
            Status.ETOO_MANY_PIXELS,
            f"the output would take {size} bytes, more than the {ceiling} allowed; "
            "pass max_output= (0: no limit) or max_pixels= to allow more",
            name,
        )
    if size == 0:
        picture, _ = fill(None)
        return b"", picture
    if _in_place is not None:
        return _in_place.make(size, fill)
    # Elsewhere (no ctypes.pythonapi): a ctypes buffer and one copy of the
    # bytes written.
    spare = ctypes.create_string_buffer(size)
    picture, written = fill(ctypes.addressof(spare))
    return ctypes.string_at(spare, written), picture


def _convert_memory(data: bytes, name: str, options: _Options, ceiling: int) -> Tuple[bytes, Picture]:
    result = _Result()
    size = ctypes.c_uint64(0)
    _library.qpbm_output_size(
        data, len(data), Direction.DETECT, ctypes.byref(options), _work.address, _work_size, ctypes.byref(size),
        ctypes.byref(result),
    )
    _picture(result, name, name)  # raises unless the input passed the check
    bound = size.value
    work = _work.address

    def fill(address: Optional[int]) -> Tuple[Picture, int]:
        _interruptible(options, lambda: _library.qpbm_convert_memory(
            data, len(data), address, bound, ctypes.byref(size), Direction.DETECT, ctypes.byref(options), work,
            _work_size, ctypes.byref(result),
        ))
        return _picture(result, name, name), size.value

    return _made_once(bound, ceiling, name, fill)


def convert_bytes(
    data: Union[bytes, bytearray, memoryview],
    *,
    raw: bool = False,
    bpp: int = 24,
    max_pixels: int = 0,
    method: Optional[str] = None,
    threshold: Optional[int] = None,
    window: Optional[int] = None,
    invert: bool = False,
    to: Optional[str] = None,
    auto_orient: bool = True,
    rotate: int = 0,
    flip: bool = False,
    mirror: bool = False,
    dpi: Union[None, int, Tuple[int, int]] = None,
    max_output: Optional[int] = None,
    return_picture: bool = False,
) -> Union[bytes, Converted]:
    """Converts a picture held in memory, in the direction its first bytes say.

    Takes the options of `convert` and gives the output as ``bytes``; with
    `return_picture`, a pair of the output and the `Picture` that `convert`
    returns. No file is touched. The output is made once, with room for the
    most the header allows, written in place and cut to the bytes written:
    never copied. An output over `max_output` bytes is
    refused before it is made: by default over `DEFAULT_MAX_OUTPUT` (1 GiB)
    unless `max_pixels` sets a budget of its own; 0 allows any size. Raises
    ValueError for a bad option, TypeError when `data` is not bytes-like, and
    `ConversionError` (with ``path`` "<bytes>") when the library refuses the
    input or the output is over the ceiling (status ETOO_MANY_PIXELS).
    """
    options = _layout(_options(raw, bpp, max_pixels, method, threshold, window, invert, to), auto_orient, rotate,
                      flip, mirror, dpi)
    ceiling = _output_ceiling(max_output, max_pixels)
    if isinstance(data, (bytearray, memoryview)):
        data = bytes(data)
    if not isinstance(data, bytes):
        raise TypeError(f"data must be bytes-like, not {type(data).__name__}")
    output, picture = _convert_memory(data, "<bytes>", options, ceiling)
    return (output, picture) if return_picture else output


def convert_stream(
    src: BinaryIO,
    dst: Optional[BinaryIO] = None,
    *,
    raw: bool = False,
    bpp: int = 24,
    max_pixels: int = 0,
    method: Optional[str] = None,
    threshold: Optional[int] = None,
    window: Optional[int] = None,
    invert: bool = False,
    to: Optional[str] = None,
    auto_orient: bool = True,
    rotate: int = 0,
    flip: bool = False,
    mirror: bool = False,
    dpi: Union[None, int, Tuple[int, int]] = None,
    max_output: Optional[int] = None,
    return_picture: bool = False,
) -> Union[bytes, Converted]:
    """Converts what a binary file object (an open file, ``io.BytesIO``) holds.

    Reads `src` from its position to its end, converts as `convert_bytes`
    does and returns the output; writes it to the binary file object `dst`
    too when one is given (only when the conversion succeeded). A refusal
    names ``src.name`` (an open file's path), or "<stream>", as its path.
    Options are checked before `src` is read; `max_output` and
    `return_picture` as for `convert_bytes`.
    """
    options = _layout(_options(raw, bpp, max_pixels, method, threshold, window, invert, to), auto_orient, rotate,
                      flip, mirror, dpi)
    ceiling = _output_ceiling(max_output, max_pixels)
    data = src.read()
    if not isinstance(data, (bytes, bytearray)):
        raise TypeError(f"src must be a binary file object, its read() gave {type(data).__name__}")
    name = getattr(src, "name", "<stream>")
    output, picture = _convert_memory(bytes(data), name if isinstance(name, (str, bytes)) else "<stream>", options,
                                      ceiling)
    if dst is not None:
        dst.write(output)
    return (output, picture) if return_picture else output


# Pixels in memory (NumPy, Pillow, bytes-like rows) build on the calls above.
from ._pixels import LAYOUTS, decide, from_pixels  # noqa: E402
