"""Benchmark sources, made once with the ffmpeg CLI and cached in bench/cache/."""

import pathlib
import subprocess

CACHE = pathlib.Path(__file__).resolve().parent / "cache"


def realistic_source(seconds: int, key_frame_every: int | None = None) -> pathlib.Path:
    """1920x1080 at 30 fps, H.264 at about 12 Mb/s with moving noise (not trivially
    compressible), stereo 48 kHz AAC at about -30 LUFS. Key frames x264's way (250
    pictures apart at most), or every `key_frame_every` pictures, as phones make them."""
    CACHE.mkdir(parents=True, exist_ok=True)
    gop = [] if key_frame_every is None else ["-g", str(key_frame_every)]
    path = CACHE / f"source_1080p_{seconds}s{f'_g{key_frame_every}' if gop else ''}.mp4"
    if path.exists():
        return path
    partial = path.with_suffix(".partial.mp4")
    subprocess.run([
        "ffmpeg", "-v", "error", "-nostdin", "-y",
        "-f", "lavfi", "-i", f"testsrc2=size=1920x1080:rate=30:duration={seconds}",
        "-f", "lavfi", "-i", f"anoisesrc=color=pink:sample_rate=48000:amplitude=0.05:duration={seconds}",
        "-f", "lavfi", "-i", f"sine=frequency=330:sample_rate=48000:duration={seconds}",
        "-filter_complex",
        "[0:v]noise=alls=14:allf=t+u,format=yuv420p[v];"
        "[1:a][2:a]amix=inputs=2:weights=1 0.2,aformat=channel_layouts=stereo,volume=-9dB[a]",
        "-map", "[v]", "-map", "[a]",
        "-c:v", "libx264", "-preset", "veryfast", "-b:v", "12M", "-maxrate", "12M", "-bufsize", "24M", *gop,
        "-c:a", "aac", "-b:a", "160k", str(partial),
    ], check=True)
    partial.rename(path)
    return path


def write_key_info(folder: pathlib.Path) -> pathlib.Path:
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "enc.key").write_bytes(bytes(range(16)))
    info = folder / "enc.keyinfo"
    info.write_text(f"enc.key\n{folder / 'enc.key'}\n000102030405060708090a0b0c0d0e0f\n")
    return info
