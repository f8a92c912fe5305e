"""Pixels in memory: NumPy arrays, Pillow images and bytes-like rows.

NumPy and Pillow are optional. Neither is imported here: an array or an
image is recognised through the modules its caller has already imported, and
only a call that cannot do without one imports it.
"""

from __future__ import annotations

import ctypes
import sys
from typing import Any, Callable, Optional, Tuple, Union

from ._binding import _interruptible, _library, _work, _work_size
from ._errors import ConversionError, Picture, Status, _picture, _Result
from ._memory import Converted, _made_once, _output_ceiling
from ._settings import _call_options, _options, _Options

# qpbm_layout by the names the calls take, with the samples of a pixel.
_LAYOUTS = {"gray": (1, 1), "graya": (2, 2), "rgb": (3, 3), "rgba": (4, 4), "bgr": (5, 3), "bgra": (6, 4)}
# An array's last axis, or its absence, names its layout.
#: The pixel layouts by name, as `from_pixels` takes them.
LAYOUTS = tuple(_LAYOUTS)
_ARRAY_LAYOUTS = {1: "gray", 2: "graya", 3: "rgb", 4: "rgba"}
# The library's bound on a side.
_MAX_SIDE = (1 << 31) - 1
_NAME = "<pixels>"


class _Pixels(ctypes.Structure):
    # qpbm_pixels; the enum is a C int.
    _fields_ = [
        ("data", ctypes.c_void_p),
        ("width", ctypes.c_uint32),
        ("height", ctypes.c_uint32),
        ("stride", ctypes.c_size_t),
        ("layout", ctypes.c_int),
    ]


_convert_pixels = getattr(_library, "qpbm_convert_pixels", None)
if _convert_pixels is not None:
    _convert_pixels.argtypes = [ctypes.POINTER(_Pixels), ctypes.c_void_p, ctypes.c_size_t,
                                ctypes.POINTER(ctypes.c_uint64), ctypes.POINTER(_Options), ctypes.c_void_p,
                                ctypes.c_size_t, ctypes.POINTER(_Result)]
    _convert_pixels.restype = ctypes.c_int


def _numpy(why: str) -> Any:
    try:
        import numpy
    except ImportError:
        raise ImportError(f"quorvelpbm: {why} needs NumPy: install NumPy (python3-numpy, or pip install numpy)") \
            from None
    return numpy


def _loaded(module: str, name: str) -> Any:
    """`name` of `module` if the caller has imported it, else None."""
    found = sys.modules.get(module)
    return getattr(found, name, None) if found is not None else None


def _layout(name: object) -> Tuple[int, int]:
    if not isinstance(name, str) or name not in _LAYOUTS:
        raise ValueError(f"layout must be one of {', '.join(LAYOUTS)}, not {name!r}")
    return _LAYOUTS[name]


class _Source:
    """Rows for the library, with whatever keeps their memory alive."""

    def __init__(self, address: Optional[int], width: int, height: int, stride: int, layout: int,
                 keep: object) -> None:
        if not (0 <= width <= _MAX_SIDE and 0 <= height <= _MAX_SIDE):
            raise ValueError(f"a picture of {width} x {height} pixels is over the {_MAX_SIDE} pixels a side allowed")
        self.pixels = _Pixels(address, width, height, stride, layout)
        self.keep = keep


def _from_array(array: Any, layout: Optional[str]) -> _Source:
    numpy = sys.modules["numpy"]
    if array.dtype != numpy.uint8:
        raise TypeError(f"a pixel array must be of dtype uint8, not {array.dtype}")
    if array.ndim == 2:
        channels = 1
    elif array.ndim == 3 and array.shape[2] in _ARRAY_LAYOUTS:
        channels = array.shape[2]
    else:
        raise ValueError(f"a pixel array must be H x W (grey) or H x W x 2, 3 or 4 (with alpha, RGB, RGBA), "
                         f"not of shape {array.shape}")
    name = _ARRAY_LAYOUTS[channels] if layout is None else layout
    code, samples = _layout(name)
    if samples != channels:
        raise ValueError(f"layout {name!r} has {samples} samples a pixel, the array {channels}")
    height, width = array.shape[0], array.shape[1]
    row = width * channels
    strides = array.strides + (1,) if array.ndim == 2 else array.strides
    # Rows of contiguous pixels go as they are, at any row stride the library
    # takes (0 repeats one row); any other arrangement is copied once.
    if array.size == 0 or strides[2] != 1 or strides[1] != channels or not (strides[0] == 0 or strides[0] >= row):
        array = numpy.ascontiguousarray(array)
        strides = (row, channels, 1)
    address = array.__array_interface__["data"][0] if array.size else None
    return _Source(address, width, height, strides[0], code, array)


_PILLOW_AS = {"1": ("L", "gray"), "L": ("L", "gray"), "LA": ("LA", "graya"), "RGB": ("RGB", "rgb"),
              "RGBA": ("RGBA", "rgba")}


def _from_image(image: Any) -> _Source:
    mode = image.mode
    if mode == "P":
        # As Pillow converts it: transparency gives alpha.
        palette = getattr(image, "palette", None)
        with_alpha = "transparency" in image.info or getattr(palette, "mode", None) == "RGBA"
        target, name = ("RGBA", "rgba") if with_alpha else ("RGB", "rgb")
    elif mode in _PILLOW_AS:
        # Grey needs no expansion: the library reads a grey pixel as R = G = B.
        target, name = _PILLOW_AS[mode]
    else:
        raise ValueError(f"a Pillow image in mode {mode!r} is not taken: modes 1, L, LA, P, RGB and RGBA are; "
                         f"convert it first, e.g. image.convert(\"RGB\")")
    if target != mode:
        image = image.convert(target)
    code, samples = _LAYOUTS[name]
    width, height = image.size
    data = image.tobytes()
    return _Source(ctypes.cast(ctypes.c_char_p(data), ctypes.c_void_p).value, width, height, width * samples, code,
                   data)


def _from_buffer(obj: Any, width: Any, height: Any, layout: Any, stride: Any) -> _Source:
    for name, value in (("width", width), ("height", height), ("stride", stride)):
        if value is not None and (isinstance(value, bool) or not isinstance(value, int) or value < 0):
            raise ValueError(f"{name} must be a number of {'bytes' if name == 'stride' else 'pixels'}, not {value!r}")
    code, samples = _layout(layout)
    row = width * samples
    if stride is None:
        stride = row
    elif stride and stride < row:
        raise ValueError(f"stride {stride} is shorter than a row of {width} {layout} pixels ({row} bytes)")
    view = memoryview(obj)
    if isinstance(obj, bytes) and view.c_contiguous:
        data: Any = obj
    elif not view.readonly and view.c_contiguous:
        data = view.cast("B")
    else:
        data = view.tobytes()  # read-only or scattered memory: one copy
    size = view.nbytes
    needed = 0 if width == 0 or height == 0 else (height - 1) * stride + row
    if size < needed:
        raise ValueError(f"{height} rows of {width} {layout} pixels, {stride} bytes apart, need {needed} bytes; "
                         f"the buffer has {size}")
    if needed == 0:
        address = None
    elif isinstance(data, bytes):
        address = ctypes.cast(ctypes.c_char_p(data), ctypes.c_void_p).value
    else:
        address = ctypes.addressof((ctypes.c_char * size).from_buffer(data))
    return _Source(address, width, height, stride, code, data)


def _source(obj: Any, width: Any, height: Any, layout: Any, stride: Any) -> _Source:
    image_type = _loaded("PIL.Image", "Image")
    array_type = _loaded("numpy", "ndarray")
    if image_type is not None and isinstance(obj, image_type):
        if (width, height, layout, stride) != (None, None, None, None):
            raise TypeError("a Pillow image gives its own width, height, layout and stride")
        return _from_image(obj)
    if array_type is not None and isinstance(obj, array_type):
        if (width, height, stride) != (None, None, None):
            raise TypeError("an array gives its own width, height and stride; layout= may name its channel order")
        return _from_array(obj, layout)
    if width is not None or height is not None or layout is not None:
        if width is None or height is None or layout is None:
            raise TypeError("bytes-like pixels need width=, height= and layout=")
        try:
            return _from_buffer(obj, width, height, layout, stride)
        except TypeError:
            raise TypeError(f"pixels must be a NumPy array, a Pillow image or a bytes-like object, "
                            f"not {type(obj).__name__}") from None
    # Anything else is read as NumPy reads it, e.g. an array of another library.
    numpy = _numpy("reading the shape of pixels given without width=, height= and layout=")
    return _from_array(numpy.asarray(obj), layout)


def _convert(source: _Source, options: _Options, ceiling: int) -> Tuple[bytes, Picture]:
    if _convert_pixels is None:
        raise ConversionError(Status.EINVALID_ARGUMENT,
                              "the loaded qpbm library has no qpbm_convert_pixels; install a newer one", _NAME)
    result = _Result()
    size = ctypes.c_uint64(0)
    pixels = ctypes.byref(source.pixels)
    # A first call without room measures; the output is then made once with
    # that room, filled in place and cut to the bytes written, as
    # convert_bytes does.
    status = _convert_pixels(pixels, None, 0, ctypes.byref(size), ctypes.byref(options), _work.address, _work_size,
                             ctypes.byref(result))
    if status != Status.EOUTPUT_TOO_SMALL:
        _picture(result, _NAME, _NAME)  # raises, unless there is nothing to write

    bound = size.value
    work = _work.address

    def fill(address: Optional[int]) -> Tuple[Picture, int]:
        _interruptible(options, lambda: _convert_pixels(pixels, address, bound, ctypes.byref(size),
                                                        ctypes.byref(options), work, _work_size,
                                                        ctypes.byref(result)))
        return _picture(result, _NAME, _NAME), size.value

    return _made_once(bound, ceiling, _NAME, fill)


def from_pixels(
    obj: Any,
    *,
    width: Optional[int] = None,
    height: Optional[int] = None,
    layout: Optional[str] = None,
    stride: Optional[int] = None,
    raw: bool = False,
    bpp: int = 24,
    max_pixels: int = 0,
    method: str = "channels",
    threshold: Optional[int] = None,
    window: Optional[int] = None,
    invert: bool = False,
    to: Optional[str] = None,
    auto_orient: bool = True,
    rotate: int = 0,
    flip: bool = False,
    mirror: bool = False,
    dpi: Union[None, int, Tuple[int, int]] = None,
    fit: Optional[Tuple[int, int]] = None,
    compression: Union[None, str, int] = None,
    progress: Optional[Callable[[int, int], object]] = None,
    max_output: Optional[int] = None,
    return_picture: bool = False,
) -> Union[bytes, Converted]:
    """Converts pixels in memory, as `convert_bytes` converts a file's bytes.

    `obj` is one of:

    - a NumPy ``uint8`` array, H x W (grey), H x W x 2 (grey and alpha),
      H x W x 3 (RGB) or H x W x 4 (RGBA). Its memory is read in place when
      the pixels of each row are contiguous, at any row stride (a slice of
      rows, a row broadcast down the picture); any other array (transposed,
      reversed) is copied once. `layout` ("bgr", "bgra") may name another
      channel order, e.g. for OpenCV's arrays.
    - a Pillow image in mode "1", "L", "LA", "P", "RGB" or "RGBA", read as
      Pillow converts it to RGB, or to RGBA when it has alpha or (mode "P")
      transparency. Other modes raise ValueError.
    - any bytes-like object (``bytes``, ``bytearray``, ``memoryview``,
      ``mmap``) with `width`, `height` and `layout`: "gray", "graya", "rgb",
      "rgba", "bgr" or "bgra", 8 bits a sample. `stride` is the bytes from a
      row's start to the next's (default: rows packed; 0 repeats the first
      row). The buffer must hold every row.

    Alpha is laid over white. The method is "channels" unless named, as
    for a BMP: pass ``method="auto"`` for a photo or a page to be looked at
    first. Takes the options of `convert_bytes` (`fit` resizes; `width` and
    `height` here are the buffer's) and returns the output as it does (with `return_picture`, a `Picture` whose ``format`` is "pixels").
    Raises TypeError for an object or dtype it cannot read, ValueError for a
    bad shape, layout, option or a buffer too short for its rows, ImportError
    naming the package to install when the call needs NumPy that is missing,
    and `ConversionError` (``path`` "<pixels>") as `convert_bytes` does.
    """
    # width and height are the pixels' own size here, not a size to resize to.
    size = {"width": None, "height": None}
    options = _call_options({**locals(), **size})
    ceiling = _output_ceiling(max_output, max_pixels)
    output, picture = _convert(_source(obj, width, height, layout, stride), options, ceiling)
    return (output, picture) if return_picture else output


def decide(
    obj: Any,
    *,
    width: Optional[int] = None,
    height: Optional[int] = None,
    layout: Optional[str] = None,
    stride: Optional[int] = None,
    max_pixels: int = 0,
    method: str = "channels",
    threshold: Optional[int] = None,
    window: Optional[int] = None,
    invert: bool = False,
    max_output: Optional[int] = None,
) -> Any:
    """The black-and-white picture of pixels, as a NumPy array.

    Takes what `from_pixels` takes, with its method options, and returns a
    ``bool`` array of shape (H, W), True for black: the pixels of the PBM
    that `from_pixels` would give. Needs NumPy (ImportError otherwise).
    """
    numpy = _numpy("decide(), which returns a NumPy array,")
    options = _options(True, 24, max_pixels, method, threshold, window, invert, "pbm")
    ceiling = _output_ceiling(max_output, max_pixels)
    pbm, picture = _convert(_source(obj, width, height, layout, stride), options, ceiling)
    rows, columns = picture.height, picture.width
    # A raw PBM ends with its rows, each padded to whole bytes, 1 for black.
    row_bytes = (columns + 7) // 8
    raster = numpy.frombuffer(pbm, numpy.uint8, rows * row_bytes, len(pbm) - rows * row_bytes)
    black = numpy.unpackbits(raster.reshape(rows, row_bytes), axis=1, count=columns)
    return black.view(numpy.bool_)
