import base64

from ._capture import OvraError
from ._library import library, take_block


def capture_screen():
    """A screenshot of the main display as JPEG bytes, at most 1920 pixels wide. Raises
    OvraError (status 1) when it fails. Blocks the calling thread (the GIL is released)."""
    status, text = take_block(library().ov_capture_screen)
    if status != 0 or text is None:
        raise OvraError(status, "the screenshot failed")
    return base64.b64decode(text, validate=True)
