"""Conversions in memory: bytes and binary file objects in, bytes out, the
output made once and written in place."""

from __future__ import annotations

import ctypes
from typing import BinaryIO, Callable, Optional, Tuple, Union

from ._binding import _interruptible, _library, _work, _work_size
from ._errors import ConversionError, Direction, Picture, Status, _picture, _Result
from ._settings import _call_options, _Options


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
    width: Optional[int] = None,
    height: Optional[int] = None,
    fit: Optional[Tuple[int, int]] = None,
    compression: Union[None, str, int] = None,
    progress: Optional[Callable[[int, int], object]] = None,
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
    options = _call_options(locals())
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
    width: Optional[int] = None,
    height: Optional[int] = None,
    fit: Optional[Tuple[int, int]] = None,
    compression: Union[None, str, int] = None,
    progress: Optional[Callable[[int, int], object]] = None,
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
    options = _call_options(locals())
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
