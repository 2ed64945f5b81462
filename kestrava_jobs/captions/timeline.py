"""The timeline caption segments are cut on, measured from a checked rendition: its
segments' lengths, and the MPEG-TS stamp its first segment starts at, which players map
the cues' clock onto (the muxer's own offset, never assumed)."""

import m3u8

from ..common.deadline import Deadline
from ..hls.check import Files, decrypted_segment, probe_bytes
from ..storage import names
from ..storage.keys import KeyInfo
from .segments import Timeline


def measured_timeline(files: Files, name: str, key: KeyInfo, deadline: Deadline) -> Timeline:
    playlist = m3u8.loads(files.read(names.playlist(name)).decode())
    first = names.file_name(playlist.segments[0].uri)
    clear = decrypted_segment(playlist, 0, first, files.read(first), key)
    streams = probe_bytes(clear, deadline, "-show_entries", "stream=start_pts")["streams"]
    mpegts = min(int(stream["start_pts"]) for stream in streams if stream.get("start_pts") is not None)
    return Timeline([segment.duration for segment in playlist.segments], playlist.target_duration, mpegts)
