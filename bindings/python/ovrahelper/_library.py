"""libOvraHelper opened with ctypes: OVRAHELPER_LIBRARY, then next to the package, then the
system's library path."""
import ctypes
import os
import threading

NAME = "libOvraHelper.so.1"

# The data pointer is declared c_void_p, never c_char_p: chunks are binary and c_char_p would cut
# each one at its first zero byte.
DataCallback = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int32, ctypes.c_void_p)
StatusCallback = ctypes.CFUNCTYPE(None, ctypes.c_int32, ctypes.c_void_p)


class LibraryNotFound(OSError):
    """libOvraHelper.so.1 could not be loaded from any of the places looked in."""


_lock = threading.Lock()
_lib = None


def _declare(lib):
    out_buffer = ctypes.POINTER(ctypes.c_void_p)
    out_length = ctypes.POINTER(ctypes.c_int32)
    for start in (lib.ov_start_system_audio, lib.ov_start_mic):
        start.argtypes = [DataCallback, ctypes.c_void_p, StatusCallback, ctypes.c_void_p]
        start.restype = None
    for stop in (lib.ov_stop_system_audio, lib.ov_stop_mic):
        stop.argtypes = []
        stop.restype = None
    lib.ov_get_last_mic_error.argtypes = [out_buffer, out_length]
    lib.ov_get_last_mic_error.restype = None
    lib.ov_capture_screen.argtypes = [out_buffer, out_length]
    lib.ov_capture_screen.restype = ctypes.c_int32
    lib.ov_free_buffer.argtypes = [ctypes.c_void_p]
    lib.ov_free_buffer.restype = None
    return lib


def library():
    """The loaded library (a ctypes.CDLL: calls release the GIL, so the library's threads can run
    Python callbacks while a stop waits for them). Raises LibraryNotFound."""
    global _lib
    with _lock:
        if _lib is not None:
            return _lib
        places = []
        env = os.environ.get("OVRAHELPER_LIBRARY")
        if env:
            places.append(("OVRAHELPER_LIBRARY", env))
        places.append(("next to the package", os.path.join(os.path.dirname(__file__), NAME)))
        places.append(("the system's library path", NAME))
        reasons = [] if env else ["  OVRAHELPER_LIBRARY: not set"]
        for where, path in places:
            try:
                _lib = _declare(ctypes.CDLL(path))
                return _lib
            except (OSError, AttributeError) as e:
                reasons.append(f"  {where}: {e}")
        raise LibraryNotFound(f"cannot load {NAME}; looked in:\n" + "\n".join(reasons))


def take_block(fill):
    """Calls fill(out_buffer, out_length) and returns the library's block as bytes (None when it
    stored none), freeing it."""
    lib = library()
    buffer, length = ctypes.c_void_p(), ctypes.c_int32()
    result = fill(ctypes.byref(buffer), ctypes.byref(length))
    if not buffer.value:
        return result, None
    try:
        return result, ctypes.string_at(buffer.value, length.value)
    finally:
        lib.ov_free_buffer(buffer)
