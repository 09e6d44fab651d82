# A Python host as a user would write one with ctypes: it lets the interpreter exit while both
# captures run; Python then ends the threads calling into it with pthread_exit.
import ctypes
import sys
import time

lib = ctypes.CDLL(sys.argv[1])
DATA = ctypes.CFUNCTYPE(None, ctypes.POINTER(ctypes.c_uint8), ctypes.c_int32, ctypes.c_void_p)
STATUS = ctypes.CFUNCTYPE(None, ctypes.c_int32, ctypes.c_void_p)
chunks = {"system": 0, "mic": 0}
statuses = []


def counter(kind):
    def on_data(data, size, user):
        chunks[kind] += 1
    return DATA(on_data)


on_status = STATUS(lambda status, user: statuses.append(status))
on_system, on_mic = counter("system"), counter("mic")
# A callback must stay valid until its capture's stop returns. At exit the interpreter frees every
# object, the ctypes thunks included, while the captures still call them: a host that exits
# without stopping keeps them for good.
for callback in (on_status, on_system, on_mic):
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(callback))
lib.ov_start_system_audio(on_system, None, on_status, None)
lib.ov_start_mic(on_mic, None, on_status, None)
deadline = time.monotonic() + 10
while min(chunks.values()) == 0 and time.monotonic() < deadline:
    time.sleep(0.01)
print("statuses", statuses, "chunks", chunks, flush=True)
sys.exit(0 if statuses == [0, 0] and min(chunks.values()) > 0 else 3)
