"""Sources shaped like real uploads rather than test patterns that start at zero:
phone rotation, late and jumping stream clocks, silent video, audio that changes
or starts late, and short clips, each compared with what the ffmpeg CLI shows."""

import pathlib
import subprocess

import pytest

from helpers import job_360p
from media import (audio_seconds, carries_all_audio, ffmpeg, ffprobe, generate, integrated_loudness,
                   make_source, playlist_input, psnr, segment_durations, timeline, true_peak)

TINY = {"size": "160x120"}


def joined_ts(media_dir: pathlib.Path, name: str, first: dict, second: dict, gap: float) -> pathlib.Path:
    """Two TS files glued byte for byte; the second's clock starts `gap` seconds after the first's."""
    a = make_source(media_dir / f"{name}_a.ts", **TINY, **first)
    b = make_source(media_dir / f"{name}_b.ts", **TINY, **second, extra=("-output_ts_offset", str(gap)))
    joined = media_dir / f"{name}.ts"
    joined.write_bytes(a.read_bytes() + b.read_bytes())
    return joined


def rotated(media_dir: pathlib.Path, degrees: int) -> pathlib.Path:
    """A landscape MP4 whose display matrix turns it clockwise, as phones record."""
    plain = make_source(media_dir / "phone_plain.mp4", seconds=1, size="320x180")
    path = media_dir / f"phone_{degrees}.mp4"
    try:  # FFmpeg 6 and later: -display_rotation, counter-clockwise
        return generate(path, "-display_rotation", str((360 - degrees) % 360), "-i", str(plain), "-c", "copy")
    except subprocess.CalledProcessError:  # FFmpeg 5.1: the muxer reads "rotate", clockwise
        return generate(path, "-i", str(plain), "-c", "copy", "-metadata:s:v:0", f"rotate={degrees}")


@pytest.mark.parametrize("degrees, shown", [(90, "360x640"), (180, "640x360"), (270, "360x640")])
def test_phone_rotation_comes_out_upright(tmp_path, media_dir, degrees, shown):
    source = rotated(media_dir, degrees)
    playlist = job_360p(tmp_path, source)
    assert f"RESOLUTION={shown}" in (tmp_path / "master.m3u8").read_text()
    streams = ffprobe("-show_streams", *playlist_input(playlist))["streams"]
    video = next(s for s in streams if s["codec_type"] == "video")
    assert f'{video["width"]}x{video["height"]}' == shown
    assert not video.get("side_data_list"), "the rendition must carry no rotation of its own"
    measured = psnr(playlist, source, f"scale={shown.replace('x', ':')}", tmp_path)
    print(f"rotation {degrees}: {measured:.1f} dB against the CLI's upright picture")
    assert measured > 35


@pytest.mark.parametrize("offset", [10, 600])
def test_ts_clock_starting_late_keeps_audio_with_video(tmp_path, media_dir, offset):
    source = make_source(media_dir / f"late_clock_{offset}.ts", seconds=8, **TINY, picture="color",
                         extra=("-output_ts_offset", str(offset)))
    playlist = job_360p(tmp_path, source)
    spans = timeline(playlist)
    video, audio = spans["video"], spans["audio"]
    print(f"offset {offset}: {spans}, EXTINF {segment_durations(playlist)}")
    assert video["count"] == 240
    assert audio["first"] == pytest.approx(video["first"], abs=0.1)
    assert audio["end"] == pytest.approx(video["end"], abs=0.1)
    assert segment_durations(playlist) == pytest.approx([6.0, 2.0], abs=0.05)


@pytest.mark.parametrize("name, gap", [
    ("joined", 0),  # two files glued: the clock restarts 2 s back
    ("leap", 102),  # a capture whose clock leaps 100 s ahead in both streams
])
def test_clock_jumps_keep_every_picture_in_step_with_audio(tmp_path, media_dir, name, gap):
    source = joined_ts(media_dir, name, {"seconds": 2}, {"seconds": 2}, gap=gap)
    spans = timeline(job_360p(tmp_path, source))
    video, audio = spans["video"], spans["audio"]
    print(f"{name}: {spans}")
    assert video["count"] == 120
    # Audio is joined end to end, so video must close the jump too.
    assert video["end"] - video["first"] == pytest.approx(4.0, abs=0.05)
    assert audio["end"] == pytest.approx(video["end"], abs=0.1)


def test_video_without_audio_gives_a_video_only_rendition(tmp_path, media_dir):
    """A screen recording: no audio, pictures only when something moved."""
    source = make_source(media_dir / "screen_vfr.mp4", seconds=3, audio=None, **TINY,
                         extra=("-vf", "select='not(between(n,20,49))'", "-fps_mode", "passthrough"))
    playlist = job_360p(tmp_path, source)
    streams = ffprobe("-show_streams", *playlist_input(playlist))["streams"]
    assert [s["codec_type"] for s in streams] == ["video"]
    spans = timeline(playlist)
    print(f"video only: {spans}")
    # 60 pictures, the gap of 30 kept: the last starts 89 ticks after the first.
    assert spans["video"]["count"] == 60
    assert spans["video"]["end"] - spans["video"]["first"] == pytest.approx(90 / 30, abs=0.01)
    assert "360p.m3u8" in (tmp_path / "master.m3u8").read_text()


@pytest.mark.parametrize("name, first, second", [
    ("layout", {"audio": "stereo"}, {"audio": "5.1"}),  # stereo, then 5.1 after an ad break
    ("rate", {"sample_rate": 48000}, {"sample_rate": 44100}),
])
def test_audio_format_change_continues_without_a_gap(tmp_path, media_dir, name, first, second):
    source = joined_ts(media_dir, name, {"seconds": 1.5, **first}, {"seconds": 1.5, **second}, gap=1.55)
    playlist = job_360p(tmp_path, source)
    spans = timeline(playlist)
    print(f"{name} change: {spans}")
    assert spans["video"]["count"] == 90
    # Each part has a rate of its own, so each is measured alone.
    parts = sum(audio_seconds(str(media_dir / f"{name}_{part}.ts")) for part in "ab")
    assert carries_all_audio(playlist, source, parts)
    channels = {s["channels"] for s in ffprobe("-show_streams", "-select_streams", "a",
                                                *playlist_input(playlist))["streams"]}
    assert channels == {2}


def test_late_audio_keeps_its_offset(tmp_path, media_dir):
    source = generate(media_dir / "late_audio.mp4", "-f", "lavfi", "-i", "testsrc2=size=160x120:rate=30:duration=2",
                      "-itsoffset", "0.5", "-f", "lavfi", "-i", "sine=duration=1.5", "-c:v", "libx264",
                      "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac")
    spans = timeline(job_360p(tmp_path, source))
    cli = tmp_path / "cli"
    cli.mkdir()
    ffmpeg("-i", str(source), "-c:v", "libx264", "-c:a", "aac", "-ar", "44100", "-f", "hls",
           str(cli / "cli.m3u8"))
    reference = timeline(cli / "cli.m3u8")
    ours = spans["audio"]["first"] - spans["video"]["first"]
    theirs = reference["audio"]["first"] - reference["video"]["first"]
    print(f"audio after video: ours {ours:.4f} s, CLI {theirs:.4f} s")
    assert ours == pytest.approx(theirs, abs=0.005)
    assert ours > 0.4


def test_short_peaky_clip_is_normalised_not_crushed(tmp_path, media_dir):
    """2 s of quiet tone with loud clicks: loudnorm's short-input fallback must not take 17 dB off."""
    source = generate(media_dir / "peaky_2s.mp4", "-f", "lavfi", "-i", "testsrc2=size=160x120:rate=30:duration=2",
                      "-f", "lavfi", "-i",
                      "aevalsrc='0.03*sin(2*PI*440*t)+0.7*sin(2*PI*1000*t)*lt(mod(t,0.4),0.004)':"
                      "s=48000:d=2:c=stereo", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
                      "-c:a", "aac", "-b:a", "192k")
    playlist = job_360p(tmp_path, source)
    loudness = integrated_loudness(*playlist_input(playlist))
    peak = true_peak(*playlist_input(playlist))
    spans = timeline(playlist)
    print(f"source {integrated_loudness('-i', str(source))} LUFS -> {loudness} LUFS, "
          f"true peak {peak} dBTP, {spans}")
    assert -22.5 <= loudness <= -14
    assert peak <= -1.0
    # The silence that keeps the filter in its normal mode does not reach the output.
    assert carries_all_audio(playlist, source)

