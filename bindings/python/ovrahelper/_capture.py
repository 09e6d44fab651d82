"""Audio captures: the library's thread puts chunks on a bounded queue, the host iterates it."""
import atexit
import ctypes
import queue
import threading
import time
import weakref

from ._library import DataCallback, StatusCallback, library, take_block


class OvraError(Exception):
    """A start or screenshot that failed: `status` is the library's code, `text` its description
    (the microphone's last error, when it gave one)."""

    def __init__(self, status, text):
        super().__init__(f"{text} (status {status})")
        self.status = status
        self.text = text


_live = weakref.WeakSet()  # running captures, stopped at interpreter exit
# Callbacks of captures collected without stop(): the collection may run on the library's own
# thread inside a callback, where stop does not wait for it, so they are never freed.
_retired = []
_DEFAULT = object()


class _Sink:
    """What the library's thread touches: no reference to the capture, so it can be collected."""

    def __init__(self, max_queued):
        self.queue = queue.Queue(max_queued)
        self.dropped = 0

    def take(self, data, length, _user):
        try:
            self.queue.put_nowait(ctypes.string_at(data, length))
        except queue.Full:
            self.dropped += 1  # never wait for the host on the library's thread


class Capture:
    """A running capture. Iterate it for chunks of 16 kHz mono int16 little-endian PCM; stop() (or
    leaving the `with` block) ends it. `timeout`: seconds an iteration waits for a chunk before
    raising TimeoutError (None: for ever)."""

    def __init__(self, microphone, timeout=5.0, max_queued=2048):
        lib = library()
        self.kind = "microphone" if microphone else "system audio"
        self.timeout = timeout
        self._stop_call = lib.ov_stop_mic if microphone else lib.ov_stop_system_audio
        self._sink = _Sink(max_queued)
        self._lock = threading.Lock()
        self._stopped = False
        answered, answer = threading.Event(), []

        def on_status(status, _user):
            answer.append(status)
            answered.set()

        # Kept by the object: the library calls them until stop() returns.
        self._callbacks = (DataCallback(self._sink.take), StatusCallback(on_status))
        start = lib.ov_start_mic if microphone else lib.ov_start_system_audio
        start(self._callbacks[0], None, self._callbacks[1], None)
        if not answered.wait(30):
            self._stopped = True
            self._stop_call()
            _retired.append(self._callbacks)  # a late answer would still call them
            raise OvraError(-3, f"{self.kind} capture: no answer to the start")
        if answer[0] != 0:
            self._stopped = True
            text = f"{self.kind} capture did not start"
            if microphone:
                text = (take_block(lib.ov_get_last_mic_error)[1] or b"").decode() or text
            raise OvraError(answer[0], text)
        _live.add(self)

    @property
    def dropped(self):
        """Chunks dropped because the host did not read them fast enough (the queue was full)."""
        return self._sink.dropped

    @property
    def stopped(self):
        return self._stopped

    def read(self, timeout=_DEFAULT):
        """The next chunk; None once stopped and every chunk read. Raises TimeoutError when no
        chunk comes within `timeout` seconds (default: the capture's)."""
        timeout = self.timeout if timeout is _DEFAULT else timeout
        deadline = None if timeout is None else time.monotonic() + timeout
        queued = self._sink.queue
        while True:
            try:
                return queued.get_nowait()
            except queue.Empty:
                pass
            if self._stopped:
                return None
            if deadline is not None and time.monotonic() >= deadline:
                raise TimeoutError(f"no {self.kind} chunk within {timeout} s") from None
            # Polled every 20 ms rather than woken per chunk: chunks come every ~5 ms, and a
            # wake-up each (a GIL hand-over between threads) costs more than the audio itself.
            time.sleep(0.02)

    def __iter__(self):
        return self

    def __next__(self):
        try:
            chunk = self.read()
        except KeyboardInterrupt:
            self.stop()
            raise
        if chunk is None:
            raise StopIteration
        return chunk

    def stop(self):
        """Stops; when it returns no callback runs or will. Safe to call again, from any thread."""
        with self._lock:
            self._stop_locked()

    def _stop_locked(self):
        if self._stopped:
            return
        self._stopped = True
        _live.discard(self)
        self._stop_call()  # releases the GIL: the callbacks in progress can finish

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.stop()

    def __del__(self):
        callbacks = getattr(self, "_callbacks", None)
        if callbacks is None or getattr(self, "_stopped", True):
            return
        if self._lock.acquire(blocking=False):  # otherwise a stop is already under way
            try:
                self._stop_locked()
            finally:
                self._lock.release()
        _retired.append(callbacks)


def system_audio(timeout=5.0, max_queued=2048):
    """Starts capturing everything the machine plays. Raises OvraError (status -1 or -3)."""
    return Capture(False, timeout, max_queued)


def microphone(timeout=5.0, max_queued=2048):
    """Starts capturing the current input device. Raises OvraError (status -1 to -5, with the
    library's description as `text`)."""
    return Capture(True, timeout, max_queued)


@atexit.register
def _stop_all():
    # The library's rule: stop every capture before the process exits.
    for capture in list(_live):
        capture.stop()
