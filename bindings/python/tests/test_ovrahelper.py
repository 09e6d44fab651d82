import array
import os
import signal
import subprocess
import sys
import time

import pytest

import ovrahelper

pytestmark = pytest.mark.usefixtures("servers")


def host(code, **env):
    """Runs `code` in a child of this same (Debian) interpreter."""
    return subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env={**os.environ, **env})


def pactl(*args):
    """pactl against the test server, without this process's preloads (a sanitizer runtime)."""
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run(["pactl", *args], check=True, env=env, timeout=30)


def test_both_sources_deliver_their_tones_whole():
    with ovrahelper.system_audio() as system, ovrahelper.microphone() as mic:
        received = {660: b"", 440: b""}
        while min(map(len, received.values())) < 2 * 32000:
            for tone, stream in ((660, system), (440, mic)):
                chunk = stream.read()
                assert chunk and len(chunk) % 2 == 0
                received[tone] += chunk
        assert system.dropped == mic.dropped == 0
    for tone, pcm in received.items():  # its frequency from its zero crossings (16 kHz)
        samples = array.array("h", pcm)
        crossings = sum((a < 0) != (b < 0) for a, b in zip(samples, samples[1:]))
        heard = crossings / 2 / (len(samples) / 16000)
        assert abs(heard - tone) < tone * 0.03, (tone, heard)


def test_stop_is_idempotent_ends_iteration_and_runs_on_collection():
    stream = ovrahelper.system_audio()
    next(stream)
    stream.stop()
    stream.stop()
    list(stream)  # drains what was queued, then ends
    assert stream.read() is None
    forgotten = ovrahelper.microphone()
    del forgotten  # collected: stopped, so the next start is not "already running"
    ovrahelper.microphone().stop()


def test_failures_raise_with_status_and_text():
    for start in (ovrahelper.system_audio, ovrahelper.microphone):
        with start():
            with pytest.raises(ovrahelper.OvraError) as caught:
                start()
            assert caught.value.status == -1 and caught.value.text
    child = host("import ovrahelper; ovrahelper.capture_screen()",
                 OVRAHELPER_LIBRARY="/nonexistent/libOvraHelper.so.1")
    _, err = child.communicate(timeout=30)
    assert "LibraryNotFound: cannot load libOvraHelper.so.1; looked in:" in err
    assert "OVRAHELPER_LIBRARY: /nonexistent/libOvraHelper.so.1" in err
    assert "next to the package:" in err and "the system's library path:" in err


def test_read_times_out_when_the_source_is_silent():
    with ovrahelper.microphone(timeout=0.5) as mic:
        next(mic)
        pactl("suspend-source", "mic", "1")
        try:
            with pytest.raises(TimeoutError):
                while True:
                    next(mic)
        finally:
            pactl("suspend-source", "mic", "0")


def test_capture_screen_returns_jpeg():
    jpeg = ovrahelper.capture_screen()
    assert jpeg[:2] == b"\xff\xd8" and jpeg[-2:] == b"\xff\xd9"


def test_interpreter_exits_with_captures_running():
    code = ("import ovrahelper; s = ovrahelper.system_audio(); m = ovrahelper.microphone(); "
            "next(s); next(m)")
    for run in range(20):
        child = host(code)
        _, err = child.communicate(timeout=30)
        assert child.returncode == 0, f"run {run}: {child.returncode}\n{err}"


def test_ctrl_c_while_iterating_stops_cleanly():
    code = ("import ovrahelper\n"
            "try:\n"
            "    with ovrahelper.system_audio() as s, ovrahelper.microphone() as m:\n"
            "        for chunk in s:\n"
            "            print(len(chunk), flush=True); next(m)\n"
            "except KeyboardInterrupt:\n"
            "    print('interrupted', s.stopped, m.stopped, flush=True)\n")
    for run in range(5):
        child = host(code)
        child.stdout.readline()
        time.sleep(0.2 * run)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
        assert child.returncode == 0, f"run {run}: {child.returncode}\n{err}"
        assert out.rstrip().endswith("interrupted True True"), out
