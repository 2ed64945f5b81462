"""Fixture media made with the ffmpeg CLI and cached across runs, and output checks through ffprobe."""

import contextlib
import functools
import hashlib
import json
import os
import pathlib
import re
import secrets
import shutil
import socket
import subprocess
import time

import kestrava

FFMPEG = ["ffmpeg", "-v", "error", "-nostdin", "-y"]
# Generated sources outlive the run: a file per ffmpeg command, named by its digest.
CACHE = pathlib.Path(os.environ.get("KESTRAVA_TEST_MEDIA_CACHE")
                     or pathlib.Path(__file__).resolve().parent.parent / ".cache" / "test-media")


def ffmpeg(*args: str) -> None:
    subprocess.run([*FFMPEG, *args], check=True, capture_output=True)


@functools.cache
def _ffmpeg_version() -> str:
    return subprocess.run(["ffmpeg", "-version"], check=True, capture_output=True, text=True).stdout


def _command_digest(args: tuple[str, ...], suffix: str) -> str:
    """The command as ffmpeg would run it: input files stand for their bytes, not their names."""
    key = [_ffmpeg_version(), suffix]
    for before, arg in zip(("", *args), args):
        key.append(hashlib.sha256(pathlib.Path(arg).read_bytes()).hexdigest() if before == "-i" and
                   pathlib.Path(arg).is_file() else arg)
    return hashlib.sha256(json.dumps(key).encode()).hexdigest()[:32]


def generate(path: pathlib.Path, *args: str) -> pathlib.Path:
    """`path` as `ffmpeg ARGS path` writes it; a copy of the cached file when the same command
    ran before. Written under a name of its own and renamed, so that a parallel run never sees
    half a file; copied, so that a test may spoil its source without spoiling the cache."""
    cached = CACHE / f"{_command_digest(args, path.suffix)}{path.suffix}"
    if not cached.exists():
        CACHE.mkdir(parents=True, exist_ok=True)
        partial = cached.with_name(f"{cached.stem}.{os.getpid()}.partial{path.suffix}")
        try:
            ffmpeg(*args, str(partial))
            os.replace(partial, cached)
        finally:
            partial.unlink(missing_ok=True)
    shutil.copyfile(cached, path)
    return path


def ffprobe(*args: str) -> dict:
    """The one way tests look at media: ffprobe's JSON for the given arguments."""
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-of", "json", *args],
        check=True, capture_output=True, text=True,
    ).stdout
    return json.loads(out)


def make_source(path: pathlib.Path, *, seconds: float = 2, size: str = "320x240", rate: int = 30,
                audio: str | None = "stereo", sample_rate: int = 48000, volume_db: float | None = None,
                extra: tuple[str, ...] = (), picture: str = "testsrc2") -> pathlib.Path:
    """A testsrc2 picture (or another of lavfi's) with a sine tone (or no audio), H.264 + AAC."""
    args = ["-f", "lavfi", "-i", f"{picture}=size={size}:rate={rate}:duration={seconds}"]
    if audio:
        args += ["-f", "lavfi", "-i", f"sine=frequency=440:sample_rate={sample_rate}:duration={seconds}"]
        filters = f"aformat=channel_layouts={audio}"
        if volume_db is not None:
            filters += f",volume={volume_db}dB"
        args += ["-af", filters, "-c:a", "aac", "-b:a", "96k"]
    args += ["-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", *extra]
    return generate(path, *args)


def claiming_duration(mp4: pathlib.Path, seconds: float) -> pathlib.Path:
    """The MP4 with its movie and track headers claiming `seconds`, whatever its tracks
    hold (as a tool that got it wrong may write it)."""
    data = bytearray(mp4.read_bytes())
    movie = data.index(b"mvhd") + 4  # version 0: version and flags, two dates, time scale, duration
    assert data[movie] == 0, "a version 0 movie header"
    movie_scale = int.from_bytes(data[movie + 12:movie + 16], "big")
    data[movie + 16:movie + 20] = round(seconds * movie_scale).to_bytes(4, "big")
    for track in re.finditer(b"tkhd", data):  # version, flags, two dates, track id, reserved, duration
        data[track.end() + 20:track.end() + 24] = round(seconds * movie_scale).to_bytes(4, "big")
    for media in re.finditer(b"mdhd", data):  # as the movie header, in the track's own time scale
        scale = int.from_bytes(data[media.end() + 12:media.end() + 16], "big")
        data[media.end() + 16:media.end() + 20] = round(seconds * scale).to_bytes(4, "big")
    mp4.write_bytes(data)
    return mp4


def write_key_info(folder: pathlib.Path, *, iv: bool = True) -> tuple[pathlib.Path, bytes, str | None]:
    key = secrets.token_bytes(16)
    (folder / "enc.key").write_bytes(key)
    iv_hex = secrets.token_hex(16) if iv else None
    lines = ["enc.key", str(folder / "enc.key")] + ([iv_hex] if iv_hex else [])
    info = folder / "enc.keyinfo"
    info.write_text("\n".join(lines) + "\n")
    return info, key, iv_hex


def python_env() -> dict:
    """Environment for a child interpreter that imports the module (keeps a sanitizer runtime)."""
    env = dict(os.environ)
    if "KESTRAVA_CHILD_PRELOAD" in env:
        env["LD_PRELOAD"] = env["KESTRAVA_CHILD_PRELOAD"]
    return env


def run_job(folder: pathlib.Path, *args, **kwargs) -> object:
    """Calls hls_encoder with `folder` as the working directory, where the media playlists land."""
    folder.mkdir(parents=True, exist_ok=True)
    previous = os.getcwd()
    os.chdir(folder)
    try:
        return kestrava.hls_encoder(*args, **kwargs)
    finally:
        os.chdir(previous)


def master_lines(path: pathlib.Path) -> list[str]:
    return path.read_text().splitlines()


def stream_inf(lines: list[str]) -> list[tuple[str, str]]:
    """(attributes, uri) for each variant of a master playlist."""
    return [(lines[i].split(":", 1)[1], lines[i + 1])
            for i in range(len(lines)) if lines[i].startswith("#EXT-X-STREAM-INF:")]


def segment_durations(playlist: pathlib.Path) -> list[float]:
    return [float(d) for d in re.findall(r"^#EXTINF:([0-9.]+),", playlist.read_text(), flags=re.M)]


def decrypt_segment(segment: pathlib.Path, key: bytes, iv_hex: str, out: pathlib.Path) -> pathlib.Path:
    subprocess.run(["openssl", "enc", "-d", "-aes-128-cbc", "-K", key.hex(), "-iv", iv_hex,
                    "-in", str(segment), "-out", str(out)], check=True, capture_output=True)
    return out


def playlist_input(playlist: pathlib.Path) -> list[str]:
    """ffmpeg/ffprobe input arguments that read an encrypted media playlist as a player would."""
    return ["-allowed_extensions", "ALL", "-i", str(playlist)]


def ebur128_summary(*input_args: str, options: str = "") -> str:
    """The summary ffmpeg's ebur128 filter prints for the input's audio."""
    result = subprocess.run(
        ["ffmpeg", "-nostdin", "-hide_banner", *input_args, "-map", "0:a:0",
         "-af", f"ebur128{'=' + options if options else ''}", "-f", "null", "-"],
        check=True, capture_output=True, text=True,
    )
    return result.stderr.rsplit("Summary:", 1)[1]


def integrated_loudness(*input_args: str) -> float:
    """EBU R128 integrated loudness (LUFS) of the input's audio, as ffmpeg's ebur128 filter measures it."""
    return float(re.search(r"I:\s+(-?[0-9.]+) LUFS", ebur128_summary(*input_args)).group(1))


def true_peak(*input_args: str) -> float:
    """True peak (dBTP) of the input's audio, as ffmpeg's ebur128 filter measures it."""
    summary = ebur128_summary(*input_args, options="peak=true")
    return float(re.search(r"True peak:\s+Peak:\s+(-?[0-9.inf]+) dBFS", summary).group(1))


def free_port() -> int:
    """A TCP port on 127.0.0.1 that nothing listens on, for a server a test starts."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def redis_answers(port: int) -> bool:
    """Whether a Redis on 127.0.0.1:port answers PING."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.2) as connection:
            connection.sendall(b"PING\r\n")
            return connection.recv(16).startswith(b"+PONG")
    except OSError:
        return False


def wait_for(predicate, seconds: float, what: str):
    """Polls until `predicate` gives something true, and returns it."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        found = predicate()
        if found:
            return found
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")


@contextlib.contextmanager
def server_process(command: list[str], ready, what: str, **popen):
    """Runs a server for the length of the block, once `ready()` says it answers."""
    server = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **popen)
    try:
        wait_for(ready, 10, what)
        yield
    finally:
        server.terminate()
        server.wait(timeout=10)


def timeline(playlist: pathlib.Path) -> dict[str, dict]:
    """Per stream kind: first stamp, end of the last packet and packet count, as a player reads them."""
    found = ffprobe("-show_entries", "stream=index,codec_type:packet=stream_index,pts_time,duration_time",
                    *playlist_input(playlist))
    kinds = {s["index"]: s["codec_type"] for s in found["streams"]}
    spans: dict[str, dict] = {}
    for packet in found["packets"]:
        start = float(packet["pts_time"])
        span = spans.setdefault(kinds[packet["stream_index"]], {"first": start, "end": start, "count": 0})
        span["first"] = min(span["first"], start)
        span["end"] = max(span["end"], start + float(packet.get("duration_time", 0)))
        span["count"] += 1
    return spans


def audio_seconds(*input_args: str) -> float:
    """Length of the decoded audio: its samples over its rate."""
    found = ffprobe("-select_streams", "a:0", "-show_entries", "stream=sample_rate:frame=nb_samples",
                    *input_args)
    return sum(f["nb_samples"] for f in found["frames"]) / int(found["streams"][0]["sample_rate"])


def loudest_frequency(*input_args: str, rate: int = 8000) -> float:
    """The frequency, in Hz, that the input's first sound is loudest at."""
    # Imported here: numpy's import-time allocations read as leaks where the suite runs sanitized.
    import numpy as np  # noqa: PLC0415
    raw = subprocess.run(["ffmpeg", "-v", "error", *input_args, "-map", "0:a:0", "-ac", "1", "-ar", str(rate),
                          "-f", "s16le", "-"], check=True, capture_output=True).stdout
    samples = np.frombuffer(raw, np.int16)
    return float(np.argmax(np.abs(np.fft.rfft(samples)))) * rate / len(samples)


def carries_all_audio(playlist: pathlib.Path, source: pathlib.Path, source_seconds: float | None = None) -> bool:
    """The rendition holds the source's sound, no more and no less: what the AAC encoder adds
    is its 1024-sample priming and the rest of its last 1024-sample frame."""
    if source_seconds is None:
        source_seconds = audio_seconds(str(source))
    added = audio_seconds(*playlist_input(playlist)) - source_seconds
    print(f"audio: source {source_seconds:.4f} s, rendition adds {added:.4f} s")
    return 1024 / 44100 <= added + 0.001 and added < 2048 / 44100


def psnr(playlist: pathlib.Path, source: pathlib.Path, filters: str, folder: pathlib.Path) -> float:
    """Average PSNR of the rendition against the source as the CLI shows it through `filters`
    (turned upright, as it always does)."""
    reference = folder / "reference.y4m"
    ffmpeg("-i", str(source), "-vf", filters, "-pix_fmt", "yuv420p", str(reference))
    result = subprocess.run(
        ["ffmpeg", "-nostdin", "-hide_banner", *playlist_input(playlist), "-i", str(reference),
         "-lavfi", "[0:v][1:v]psnr", "-f", "null", "-"], check=True, capture_output=True, text=True)
    return float(re.search(r"PSNR .*average:([0-9.inf]+)", result.stderr).group(1))
