"""Text that goes into files, playlists and command lines unread by people: no control
characters, which would end a line or a field early."""

import re

CONTROL = re.compile(r"[\x00-\x1f\x7f]")


def check_text(text: str, what: str) -> str:
    if CONTROL.search(text):
        raise ValueError(f"{what} must not contain control characters")
    return text
