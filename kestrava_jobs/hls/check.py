"""Reading what the module wrote: growing media playlists, and finished renditions with
the streams in their segments, read through the package seam."""

import bisect
import concurrent.futures
import itertools
import json
import logging
import os
import pathlib
import subprocess
from collections.abc import Callable
from fractions import Fraction
from typing import Protocol

import m3u8
from cryptography.hazmat.primitives import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

from ..common.deadline import Deadline
from ..common.ffmpeg_words import cause, first_words
from ..common.result import RenditionResult
from ..storage import names as file_names
from ..storage.keys import KeyInfo

log = logging.getLogger(__name__)

# RFC 6381 object types of the AAC profiles, as ffprobe names them.
AAC_OBJECT_TYPES = {"LC": 2, "HE-AAC": 5, "HE-AACv2": 29}
H264_SPS = 7
TS_PACKET_BYTES = 188
TS_SYNC = 0x47
# How far media may be from what a playlist lists: rounding, and audio frames that
# overlap a cut (a segment's media, a caption's cue past the end).
MEDIA_TOLERANCE = 0.25


class Files(Protocol):
    """What the check reads a rendition through: a package, or the folder it was made in."""

    def read(self, name: str) -> bytes: ...
    def has(self, name: str) -> bool: ...


def playlist_seconds(path: pathlib.Path) -> float:
    """Seconds listed so far in a (possibly growing) media playlist; 0 before it exists.
    The muxer replaces the file whole, so it is never read half-written."""
    try:
        return sum(segment.duration or 0 for segment in m3u8.loads(path.read_text()).segments)
    except OSError:
        return 0.0


def decrypted(file: str, data: bytes, key: bytes | None, iv: str | None) -> bytes:
    """The segment's clear bytes, decrypted here so that the key reaches no command line.
    ValueError when it is not whole AES-128-CBC with PKCS#7 padding under this key."""
    if key is None:
        return data
    if not data or len(data) % 16:
        raise ValueError(f"{file}: not a whole number of AES blocks")
    decryptor = Cipher(algorithms.AES(key), modes.CBC(bytes.fromhex(iv or ""))).decryptor()
    unpadder = padding.PKCS7(128).unpadder()
    return unpadder.update(decryptor.update(data) + decryptor.finalize()) + unpadder.finalize()


def probe_bytes(data: bytes, deadline: Deadline, *entries: str) -> dict:
    """ffprobe's JSON for the given entries of an MPEG-TS read from standard input."""
    return json.loads(subprocess.run(
        ["ffprobe", "-v", "error", "-of", "json", "-f", "mpegts", *entries, "-i", "pipe:0"],
        input=data, check=True, capture_output=True, timeout=deadline.left()).stdout)


def media_seconds(packets: list[dict]) -> float:
    """From the first packet's start to the last one's end, over all streams."""
    starts = [float(p["pts_time"]) for p in packets if "pts_time" in p]
    ends = [float(p["pts_time"]) + float(p.get("duration_time", 0)) for p in packets if "pts_time" in p]
    return max(ends) - min(starts) if starts else 0.0


class RenditionIncomplete(Exception):
    """What the check found wrong with a rendition, in plain words. `by_module` when the
    module itself stopped short, so that FFmpeg's log may say why."""

    def __init__(self, reason: str, by_module: bool = False) -> None:
        super().__init__(reason)
        self.by_module = by_module


def check_all(files: Files, names: list[str], key: KeyInfo, deadline: Deadline, source: str,
              read_log: Callable[[], str]) -> tuple[dict[str, RenditionResult], dict[str, str]]:
    """The complete renditions' figures, and why each other one failed: in plain words,
    with FFmpeg's own (from the job's log) where the module stopped short."""
    def one(name: str) -> RenditionResult | str:
        try:
            return check_rendition(files, name, key, deadline)
        except subprocess.TimeoutExpired:
            raise deadline.expired() from None
        except RenditionIncomplete as incomplete:
            log.warning("%s of %s: %s", name, source, incomplete)
            said = cause(read_log()) if incomplete.by_module else None
            return f"{incomplete} (FFmpeg: {said})" if said else str(incomplete)

    # Side by side: most of the time is ffprobe's start-up.
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 1) as pool:
        found = dict(zip(names, pool.map(one, names)))
    return ({name: one for name, one in found.items() if isinstance(one, RenditionResult)},
            {name: one for name, one in found.items() if isinstance(one, str)})


def check_rendition(files: Files, name: str, key: KeyInfo, deadline: Deadline) -> RenditionResult:
    """The rendition's figures once its playlist is finished and every segment it lists
    decrypts, demuxes to its end and holds as much media as the playlist says;
    RenditionIncomplete naming what is wrong otherwise."""
    playlist, segments = finished_playlist(files, name)
    sizes, clear = [], []
    for number, segment in enumerate(segments):  # one segment's encrypted bytes at a time
        content = files.read(segment)
        sizes.append(len(content))
        clear.append(decrypted_segment(playlist, number, segment, content, key))
    if sum(len(part) for part in clear) < TS_PACKET_BYTES:
        raise RenditionIncomplete("it holds no media: nothing of the source decoded", by_module=True)
    # One ffprobe reads the segments end to end; each packet's byte position says
    # which segment it came from.
    try:
        found = probe_bytes(b"".join(clear), deadline, "-show_entries",
                            "packet=pts_time,duration_time,pos:stream=codec_type,codec_name,profile,width,height,"
                            "avg_frame_rate")
    except subprocess.CalledProcessError as error:
        raise RenditionIncomplete(f"its segments do not demux (FFmpeg: {first_words(error.stderr)})") from None
    durations = [segment.duration or 0.0 for segment in playlist.segments]
    for segment, listed, packets in zip(segments, durations, packets_by_segment(found["packets"], clear)):
        measured = media_seconds(packets)
        if abs(measured - listed) > MEDIA_TOLERANCE:
            raise RenditionIncomplete(f"{segment} holds {measured:.3f} s where its playlist lists {listed:.3f} s")
    return rendition_figures(name, sizes, durations, stream_facts(found, clear[0], deadline))


def rendition_figures(name: str, sizes: list[int], durations: list[float], facts: dict) -> RenditionResult:
    """What the master says of a rendition: its segments' sizes and listed lengths, and
    the facts of its streams."""
    duration = sum(durations)
    return RenditionResult(
        name=name, duration=round(duration, 6), segments=len(sizes), bytes=sum(sizes),
        bitrate=round(sum(sizes) * 8 / duration) if duration > 0 else 0,
        peak_bitrate=max((round(size * 8 / seconds) for size, seconds in zip(sizes, durations) if seconds > 0),
                         default=0),
        width=facts["width"], height=facts["height"], codecs=facts["codecs"], frame_rate=facts["frame_rate"])


def check_segment(playlist: m3u8.M3U8, number: int, file: str, data: bytes, key: KeyInfo,
                  deadline: Deadline) -> tuple[dict, bytes]:
    """One segment checked as a whole rendition's are, on its own: it decrypts under the
    job's key, demuxes to its end and holds the length its playlist lists. ffprobe's
    packets and streams, and the clear bytes; RenditionIncomplete otherwise."""
    clear = decrypted_segment(playlist, number, file, data, key)
    if torn := torn_packet(clear):
        raise RenditionIncomplete(f"{file} is not whole MPEG-TS: {torn}")
    try:
        probed = subprocess.run(
            ["ffprobe", "-v", "error", "-of", "json", "-f", "mpegts", "-show_entries",
             "packet=pts_time,duration_time:stream=codec_type,codec_name,profile,width,height,avg_frame_rate",
             "-i", "pipe:0"], input=clear, check=True, capture_output=True, timeout=deadline.left())
    except subprocess.CalledProcessError as error:
        raise RenditionIncomplete(f"{file} does not demux (FFmpeg: {first_words(error.stderr)})") from None
    # A corrupt packet is only a complaint to the demuxer, which reads on.
    if probed.stderr.strip():
        raise RenditionIncomplete(f"{file} does not demux cleanly (FFmpeg: {first_words(probed.stderr)})")
    found = json.loads(probed.stdout)
    measured, listed = media_seconds(found["packets"]), playlist.segments[number].duration or 0.0
    if not found["packets"] or abs(measured - listed) > MEDIA_TOLERANCE:
        raise RenditionIncomplete(f"{file} holds {measured:.3f} s where its playlist lists {listed:.3f} s")
    return found, clear


def finished_playlist(files: Files, name: str) -> tuple[m3u8.M3U8, list[str]]:
    """The rendition's media playlist and its segments' names, when the module finished it."""
    if not files.has(file_names.playlist(name)):
        raise RenditionIncomplete("the module wrote no playlist for it", by_module=True)
    playlist = m3u8.loads(files.read(file_names.playlist(name)).decode())
    if not playlist.is_endlist or not playlist.segments:
        raise RenditionIncomplete("its playlist is unfinished: the module stopped before the end", by_module=True)
    segments = [file_names.file_name(segment.uri) for segment in playlist.segments]
    missing = [segment for segment in segments if not files.has(segment)]
    if missing:
        raise RenditionIncomplete(f"segment {missing[0]} is missing")
    return playlist, segments


def torn_packet(clear: bytes) -> str | None:
    """Where the bytes stop being 188-byte transport packets, each opening with its sync
    byte; None when they are all such packets."""
    if len(clear) % TS_PACKET_BYTES:
        return f"{len(clear)} bytes, not a whole number of {TS_PACKET_BYTES}-byte packets"
    lost = next((start for start in range(0, len(clear), TS_PACKET_BYTES) if clear[start] != TS_SYNC), None)
    return None if lost is None else f"no sync byte at byte {lost}"


def decrypted_segment(playlist: m3u8.M3U8, number: int, file: str, data: bytes, key: KeyInfo) -> bytes:
    segment = playlist.segments[number]
    encrypted = segment.key is not None and segment.key.method == "AES-128"
    iv = (segment.key.iv or f"{(playlist.media_sequence or 0) + number:032x}") if encrypted else None
    try:
        return decrypted(file, data, key.key if encrypted else None, iv and iv.removeprefix("0x"))
    except ValueError as error:
        raise RenditionIncomplete(f"{file} does not decrypt under the job's key ({error})") from None


def packets_by_segment(packets: list[dict], clear: list[bytes]) -> list[list[dict]]:
    ends = list(itertools.accumulate(len(part) for part in clear))
    by_segment: list[list[dict]] = [[] for _ in clear]
    for packet in packets:
        position = int(packet.get("pos", -1))
        number = bisect.bisect_right(ends, position)
        if position >= 0 and number < len(clear):
            by_segment[number].append(packet)
    return by_segment


def stream_facts(found: dict, clear: bytes, deadline: Deadline) -> dict:
    streams = found["streams"]
    video = next((s for s in streams if s["codec_type"] == "video"), {})
    audio = next((s for s in streams if s["codec_type"] == "audio"), None)
    codecs = [h264_codec(clear, deadline)] if video.get("codec_name") == "h264" else []
    if audio is not None and audio.get("codec_name") == "aac":
        codecs.append(f"mp4a.40.{AAC_OBJECT_TYPES.get(audio.get('profile', ''), 2)}")
    rate = Fraction(video.get("avg_frame_rate", "0/1")) if video.get("avg_frame_rate", "0/0") != "0/0" else None
    return {"width": int(video.get("width", 0)), "height": int(video.get("height", 0)),
            "codecs": ",".join(codecs), "frame_rate": round(float(rate), 3) if rate else None}


def h264_codec(clear: bytes, deadline: Deadline) -> str:
    """avc1.PPCCLL: profile, constraint flags and level, the three bytes after the SPS header."""
    stream = subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-f", "mpegts", "-i", "pipe:0", "-map", "0:v:0",
                             "-c", "copy", "-frames:v", "1", "-f", "h264", "-"],
                            input=clear, check=True, capture_output=True, timeout=deadline.left()).stdout
    start = 0
    while (start := stream.find(b"\x00\x00\x01", start) + 3) >= 3:
        if start + 4 <= len(stream) and stream[start] & 0x1F == H264_SPS:
            return "avc1." + stream[start + 1:start + 4].hex()
    return "avc1"
