"""Sound is encoded as it streams in, so the muxer puts it beside its pictures: a long
source keeps sound in every segment, not gathered into a late one."""

import pathlib
import re

from helpers import needs_unsanitized_module
from kestrava_jobs import package_video
from media import decrypt_segment, ffprobe, make_source, segment_durations

pytestmark = needs_unsanitized_module

# Past the muxer's interleaving window (10 s), beyond which sound held back lands late.
SECONDS = 25
TOLERANCE = 0.25


def audio_span(segment: pathlib.Path) -> float:
    """From the segment's first sound packet's start to its last one's end; 0 without sound."""
    packets = ffprobe("-select_streams", "a:0", "-show_entries", "packet=pts_time,duration_time",
                      str(segment))["packets"]
    starts = [float(p["pts_time"]) for p in packets]
    return max(s + float(p["duration_time"]) for s, p in zip(starts, packets)) - min(starts) if packets else 0.0


def test_a_long_source_has_sound_in_every_segment(tmp_path, media_dir):
    source = make_source(media_dir / "streaming_320x240_25s.mp4", seconds=SECONDS, size="320x240", rate=15,
                         picture="testsrc")
    result = package_video(source, tmp_path / "out", resolution=["360p"])
    playlist = tmp_path / "out" / "360p.m3u8"
    key = pathlib.Path(result.key_file).read_bytes()
    iv = re.search(r"IV=0x([0-9A-Fa-f]{32})", playlist.read_text())[1]
    segments = sorted((tmp_path / "out").glob("360p_*.ts"))
    spans = [round(audio_span(decrypt_segment(s, key, iv, tmp_path / s.name)), 3) for s in segments]
    listed = segment_durations(playlist)
    assert len(spans) == len(listed) >= 3 and sum(listed) > SECONDS - TOLERANCE
    assert [abs(span - length) <= TOLERANCE for span, length in zip(spans, listed)] == [True] * len(listed), \
        (spans, listed)
