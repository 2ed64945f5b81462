"""Reading what the module wrote: growing media playlists, finished renditions and
the streams in their segments; and the master playlist that players get."""

import json
import os
import pathlib
import subprocess
from fractions import Fraction

import m3u8

from .keys import KeyInfo
from .result import RenditionResult

# RFC 6381 object types of the AAC profiles, as ffprobe names them.
AAC_OBJECT_TYPES = {"LC": 2, "HE-AAC": 5, "HE-AACv2": 29}
H264_SPS = 7


def playlist_seconds(path: pathlib.Path) -> float:
    """Seconds listed so far in a (possibly growing) media playlist; 0 before it exists.
    The muxer replaces the file whole, so it is never read half-written."""
    try:
        return sum(segment.duration or 0 for segment in m3u8.loads(path.read_text()).segments)
    except OSError:
        return 0.0


def listed_names(master: pathlib.Path) -> list[str]:
    """The renditions the module listed in its master playlist, in its order."""
    if not master.exists():
        return []
    return [pathlib.PurePath(playlist.uri).stem for playlist in m3u8.loads(master.read_text()).playlists]


def check_rendition(out_dir: pathlib.Path, name: str, key: KeyInfo) -> RenditionResult | None:
    """The rendition's figures, or None unless its playlist is finished and every
    segment it lists exists."""
    path = out_dir / f"{name}.m3u8"
    if not path.is_file():
        return None
    playlist = m3u8.loads(path.read_text())
    files = [out_dir / segment.uri for segment in playlist.segments]
    if not playlist.is_endlist or not files or not all(f.is_file() for f in files):
        return None
    durations = [segment.duration or 0.0 for segment in playlist.segments]
    sizes = [f.stat().st_size for f in files]
    duration = sum(durations)
    first = playlist.segments[0]
    encrypted = first.key is not None and first.key.method == "AES-128"
    iv = (first.key.iv or f"{playlist.media_sequence or 0:032x}") if encrypted else None
    facts = stream_facts(files[0], key.key if encrypted else None, iv)
    return RenditionResult(
        name=name, duration=round(duration, 6), segments=len(files), bytes=sum(sizes),
        bitrate=round(sum(sizes) * 8 / duration) if duration > 0 else 0,
        peak_bitrate=max((round(size * 8 / seconds) for size, seconds in zip(sizes, durations) if seconds > 0),
                         default=0),
        width=facts["width"], height=facts["height"], codecs=facts["codecs"], frame_rate=facts["frame_rate"])


def input_args(segment: pathlib.Path, key: bytes | None, iv: str | None) -> list[str]:
    if key is None:
        return ["-i", str(segment)]
    # FFmpeg's crypto protocol decrypts AES-128 CBC with the key and IV given as options.
    return ["-key", key.hex(), "-iv", (iv or "").removeprefix("0x"), "-i", f"crypto:{segment}"]


def stream_facts(segment: pathlib.Path, key: bytes | None, iv: str | None) -> dict:
    args = input_args(segment, key, iv)
    streams = json.loads(subprocess.run(
        ["ffprobe", "-v", "error", "-of", "json", "-show_entries",
         "stream=codec_type,codec_name,profile,width,height,avg_frame_rate", *args],
        check=True, capture_output=True, text=True).stdout)["streams"]
    video = next((s for s in streams if s["codec_type"] == "video"), {})
    audio = next((s for s in streams if s["codec_type"] == "audio"), None)
    codecs = [h264_codec(args)] if video.get("codec_name") == "h264" else []
    if audio is not None and audio.get("codec_name") == "aac":
        codecs.append(f"mp4a.40.{AAC_OBJECT_TYPES.get(audio.get('profile', ''), 2)}")
    rate = Fraction(video.get("avg_frame_rate", "0/1")) if video.get("avg_frame_rate", "0/0") != "0/0" else None
    return {"width": int(video.get("width", 0)), "height": int(video.get("height", 0)),
            "codecs": ",".join(codecs), "frame_rate": round(float(rate), 3) if rate else None}


def h264_codec(args: list[str]) -> str:
    """avc1.PPCCLL: profile, constraint flags and level, the three bytes after the SPS header."""
    stream = subprocess.run(["ffmpeg", "-v", "error", "-nostdin", *args, "-map", "0:v:0", "-c", "copy",
                             "-frames:v", "1", "-f", "h264", "-"], check=True, capture_output=True).stdout
    start = 0
    while (start := stream.find(b"\x00\x00\x01", start) + 3) >= 3:
        if start + 4 <= len(stream) and stream[start] & 0x1F == H264_SPS:
            return "avc1." + stream[start + 1:start + 4].hex()
    return "avc1"


def write_master(path: pathlib.Path, renditions: list[RenditionResult]) -> None:
    """The master playlist with what Apple's authoring rules ask of each variant."""
    master = m3u8.M3U8()
    master.version = "3"
    for rendition in renditions:
        info = {"bandwidth": rendition.peak_bitrate, "average_bandwidth": rendition.bitrate,
                "resolution": f"{rendition.width}x{rendition.height}", "codecs": rendition.codecs}
        if rendition.frame_rate:
            info["frame_rate"] = rendition.frame_rate
        master.add_playlist(m3u8.Playlist(uri=f"{rendition.name}.m3u8", stream_info=info,
                                          media=master.media, base_uri=None))
    partial = path.with_name(path.name + ".partial")
    partial.write_text(master.dumps())
    os.replace(partial, path)
