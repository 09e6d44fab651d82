"""System audio, the microphone and screenshots from libOvraHelper.

    with ovrahelper.system_audio() as stream:
        for chunk in stream:  # bytes: 16 kHz mono int16 little-endian
            ...
"""
from ._capture import Capture, OvraError, microphone, system_audio
from ._library import LibraryNotFound
from ._screen import capture_screen

SAMPLE_RATE = 16000

__all__ = ["Capture", "LibraryNotFound", "OvraError", "SAMPLE_RATE", "capture_screen",
           "microphone", "system_audio"]
