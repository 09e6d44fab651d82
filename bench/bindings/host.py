"""A Python host for bench/bindings/cpu.py: both audio sources for N seconds, one screenshot
halfway, as `ovra-capture all` does; a thread iterates each stream. Prints what it received.
With "callbacks-only" after the seconds, the chunks are dropped inside the ctypes callback and
nothing iterates: the cost of running Python on the library's threads alone."""
import json
import sys
import threading
import time

import ovrahelper

seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 20
if sys.argv[2:] == ["callbacks-only"]:
    ovrahelper._capture._Sink.take = lambda self, data, length, user: None
streams = [ovrahelper.system_audio(), ovrahelper.microphone()]
received = [0, 0]


def drain(i):
    for chunk in streams[i]:
        received[i] += len(chunk)


threads = [threading.Thread(target=drain, args=(i,)) for i in range(2)]
for t in threads:
    t.start()
time.sleep(seconds / 2)
jpeg = ovrahelper.capture_screen()
time.sleep(seconds / 2)
for s in streams:
    s.stop()
for t in threads:
    t.join()
print(json.dumps({"seconds": [b / 32000 for b in received], "dropped": [s.dropped for s in streams],
                  "jpeg": len(jpeg)}))
