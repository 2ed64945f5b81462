"""FFmpeg's own words, for error messages: what it said first, or why it stopped, without
the "[component @ 0x…]" prefix that names a memory address."""

import re

# "[mov,mp4,m4a,3gp,3g2,mj2 @ 0x55a1…] " before an FFmpeg component's message, and the
# address alone, wherever it stands (FFmpeg 7 nests them: "[vost#0:0/libx264 @ 0x…] [enc:…").
PREFIX = re.compile(r"^\[[^\]]* @ 0x[0-9a-f]+\]")
ADDRESS = re.compile(r" @ 0x[0-9a-f]+\]")
# FFmpeg's lines that say why something failed, as opposed to its statistics.
CAUSE = re.compile(r"error|invalid|fail|cannot|could not|unable|no such|not found|denied", re.IGNORECASE)
STATISTICS = re.compile(r"using cpu capabilities|kb/s:|Qavg|frame [IPB]:|final ratefactor")


def first_words(stderr: bytes | str | None) -> str:
    """What FFmpeg said first on standard error, without its prefix: the cause, where its
    last line only repeats the file's name with a general error."""
    text = stderr.decode(errors="replace") if isinstance(stderr, bytes) else stderr or ""
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    return PREFIX.sub("", lines[0]).lstrip() if lines else "no message"


def cause(log: str) -> str | None:
    """The first line of a job's log that says why something failed; never statistics.
    Components stay named, their addresses go."""
    lines = (line.strip() for line in log.splitlines())
    return next((ADDRESS.sub("]", line) for line in lines if CAUSE.search(line) and not STATISTICS.search(line)),
                None)
