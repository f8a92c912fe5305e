"""The qpbm library: found, loaded, bound, and called in a work block of each
thread's own, so that Ctrl-C stops a call in the main thread."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import queue
import sys
import threading
from typing import Callable, Dict, List, Optional, Tuple, TypeVar

from ._errors import Direction, Status, _Result
from ._settings import _options, _Options, _Progress


# The major version of the C API this module is written against.
_API_MAJOR = 1
# Work blocks are aligned by hand: ctypes does not promise the alignment that
# the library asks for (that of malloc).
_WORK_ALIGNMENT = 64


def _candidates() -> List[Tuple[str, bool]]:
    """The libraries to try in order, each with whether it is a platform
    wheel's own copy, which is the only one tried when it is there."""
    named = os.environ.get("QUORVELPBM_LIBRARY")
    if named:
        return [(named, False)]
    if sys.platform == "win32":
        system_names = ["qpbm.dll"]
    elif sys.platform == "darwin":
        system_names = ["libqpbm.1.dylib", "libqpbm.dylib"]
    else:
        system_names = ["libqpbm.so.1"]
    # A platform wheel's own copy, by its full path so that the loader's
    # search cannot put another in its place.
    bundled = os.path.join(os.path.dirname(os.path.abspath(__file__)), system_names[0])
    if os.path.exists(bundled):
        return [(bundled, True)]
    names = []
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
    document = ctypes.c_void_p
    library.qpbm_document_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(_Options),
                                           ctypes.POINTER(document), ctypes.POINTER(_Result)]
    library.qpbm_document_open.restype = ctypes.c_int
    library.qpbm_document_add_file.argtypes = [document, ctypes.c_char_p, ctypes.c_char_p, ctypes.POINTER(_Result)]
    library.qpbm_document_add_file.restype = ctypes.c_int
    library.qpbm_document_pages.argtypes = [document]
    library.qpbm_document_pages.restype = ctypes.c_uint
    library.qpbm_document_close.argtypes = [document, ctypes.POINTER(_Result)]
    library.qpbm_document_close.restype = ctypes.c_int
    library.qpbm_document_discard.argtypes = [document]
    library.qpbm_document_discard.restype = None
    library.qpbm_version.argtypes = []
    library.qpbm_version.restype = ctypes.c_char_p
    library.qpbm_version_number.argtypes = []
    library.qpbm_version_number.restype = ctypes.c_uint


def _load() -> Tuple[ctypes.CDLL, str]:
    """Loads and checks the first library that fits; ImportError if none."""
    tried: List[str] = []
    for name, bundled in _candidates():
        try:
            library = ctypes.CDLL(name)
        except OSError as error:
            if bundled:
                # The loader's words name the library that is missing.
                raise ImportError(f"quorvelpbm: cannot load the wheel's own {name}: {error}") from None
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
    """Runs `call`, one library call with `options`, so that Ctrl-C stops it
    and the caller's progress function (`options.watch`) hears of its rows.

    Python runs its signal handlers in the main thread between bytecodes, so a
    conversion there would hold KeyboardInterrupt until its end. In the main
    thread the call runs in the worker's thread while this one waits; on
    KeyboardInterrupt (or whatever a signal handler raises) it sets the
    options' cancel flag, which the library reads as each row begins, waits
    for the call to stop (with QPBM_ECANCELLED, the output left as it was),
    and raises. Other threads receive no signals and call directly.

    The progress function runs in the thread that converts; whatever it
    raises stops the call in the same way and is raised here.
    """
    watch = options.watch
    main = threading.current_thread() is threading.main_thread()
    if not _cancels or (watch is None and not main):
        return call()
    flag = ctypes.c_int(0)
    options.cancel = ctypes.addressof(flag)
    raised: List[BaseException] = []
    if watch is not None:
        tell = watch

        def report(_context: Optional[int], done: int, total: int) -> None:
            if raised:
                return
            try:
                tell(done, total)
            except BaseException as error:  # ctypes would print it and go on
                raised.append(error)
                flag.value = 1

        options.progress = _Progress(report)
    try:
        outcome = _in_worker(flag, call) if main else call()
    finally:
        options.cancel = None
        options.progress = _Progress()
    if raised:
        raise raised[0]
    return outcome


def _in_worker(flag: ctypes.c_int, call: Callable[[], _Returned]) -> _Returned:
    """Runs `call` in the worker's thread, setting `flag` on an exception
    raised in this one while it waits."""
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


def codecs() -> Dict[str, str]:
    """The codec libraries built into the loaded library, by the format each
    reads, with the versions that run: ``{"PNG": "libspng 0.7.3", "JPEG":
    "libjpeg-turbo 2.1.5", "TIFF": "libtiff 4.5.0", "PDF": "zlib 1.2.13"}``.
    A format that is absent is refused with ``Status.ECODEC_MISSING``."""
    call = getattr(_library, "qpbm_codecs", None)
    if call is None:  # a library from before the call: say nothing rather than guess
        return {}
    call.argtypes = []
    call.restype = ctypes.c_char_p
    lines = call().decode("ascii", "replace").splitlines()
    return dict(line.split(" ", 1) for line in lines if " " in line)
