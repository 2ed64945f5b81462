"""Each rendition as a real client sees it: decrypted, probed and decoded back."""

import pathlib
import re
import subprocess

import pytest

from helpers import finished, job_360p
from media import (decrypt_segment, ffmpeg, ffprobe, generate, integrated_loudness, make_source,
                   playlist_input, run_job, segment_durations, write_key_info)

LADDER = {"1080p": (1920, 1080), "720p": (1280, 720), "480p": (854, 480), "360p": (640, 360)}


def video_frames(*input_args: str) -> list[dict]:
    return ffprobe("-select_streams", "v:0", "-show_frames",
                   "-show_entries", "frame=key_frame,pts_time,width,height,pix_fmt",
                   *input_args)["frames"]


def streams(*input_args: str) -> dict[str, dict]:
    found = ffprobe("-show_streams", *input_args)["streams"]
    return {stream["codec_type"]: stream for stream in found}


def segments_of(playlist: pathlib.Path) -> list[pathlib.Path]:
    return [playlist.with_name(line) for line in playlist.read_text().splitlines()
            if line.endswith(".ts")]


@pytest.fixture(scope="module")
def ladder_job(tmp_path_factory, landscape_13s):
    """The default call on a 13 s landscape source with stereo audio."""
    folder = tmp_path_factory.mktemp("ladder")
    _, key, iv = write_key_info(folder)
    assert run_job(folder, str(landscape_13s), "master.m3u8") is None
    return folder, key, iv


def test_ladder_writes_four_finished_encrypted_playlists(ladder_job):
    folder, _, iv = ladder_job
    for name in LADDER:
        playlist = folder / f"{name}.m3u8"
        assert finished(playlist), name
        text = playlist.read_text()
        assert f'#EXT-X-KEY:METHOD=AES-128,URI="enc.key",IV=0x{iv}' in text
        names = [segment.name for segment in segments_of(playlist)]
        assert names == [f"{name}_{i:03d}.ts" for i in range(3)]
        assert all((folder / n).stat().st_size > 0 for n in names)
        # The last segment ends with its last picture's full 1/30 s, not where it starts.
        assert segment_durations(playlist) == pytest.approx([6.0, 6.0, 1.0], abs=1e-4)


@pytest.mark.parametrize("name", list(LADDER))
def test_ladder_segments_decrypt_to_the_rendition_format(ladder_job, tmp_path, name):
    folder, key, iv = ladder_job
    width, height = LADDER[name]
    encoded_frames = 0
    for index, segment in enumerate(segments_of(folder / f"{name}.m3u8")):
        plain = decrypt_segment(segment, key, iv, tmp_path / f"{index}.ts")
        found = streams(str(plain))
        video, audio = found["video"], found["audio"]
        assert (video["codec_name"], video["profile"], video["pix_fmt"]) == ("h264", "High", "yuv420p")
        assert (video["width"], video["height"]) == (width, height)
        assert (audio["codec_name"], audio["profile"], audio["channels"], audio["sample_rate"]) == (
            "aac", "LC", 2, "44100")
        frames = video_frames(str(plain))
        # Every segment starts on a key frame, and key frames fall every 60 encoded frames.
        keys = [encoded_frames + i for i, frame in enumerate(frames) if frame["key_frame"] == 1]
        assert keys == list(range(encoded_frames, encoded_frames + len(frames), 60))
        encoded_frames += len(frames)
        if index == 0:
            # Audio starts with the video (less the AAC encoder's 1024-sample priming).
            assert float(audio["start_time"]) == pytest.approx(float(video["start_time"]) - 1024 / 44100,
                                                               abs=0.005)
    assert encoded_frames == 13 * 30


def test_ladder_decodes_end_to_end_through_the_playlist(ladder_job):
    folder, _, _ = ladder_job
    frames = video_frames(*playlist_input(folder / "720p.m3u8"))
    assert len(frames) == 390
    assert {(f["width"], f["height"]) for f in frames} == {(1280, 720)}


def test_x264_runs_with_the_fixed_settings(ladder_job, tmp_path):
    folder, key, iv = ladder_job
    plain = decrypt_segment(folder / "360p_000.ts", key, iv, tmp_path / "plain.ts")
    # The settings travel as SEI user data in the H.264 elementary stream.
    ffmpeg("-i", str(plain), "-map", "0:v", "-c", "copy", "-f", "h264", str(tmp_path / "video.h264"))
    stream = (tmp_path / "video.h264").read_bytes()
    settings = re.search(rb"x264 - core .*? options: ([^\x00]*)", stream).group(1).decode("ascii")
    options = dict(item.split("=", 1) for item in settings.split() if "=" in item)
    # preset "fast": two reference frames, subpel quality 6, 30 frames of look-ahead
    assert (options["ref"], options["subme"], options["rc_lookahead"]) == ("2", "6", "30")
    assert (options["keyint"], options["scenecut"]) == ("60", "0")
    assert (options["rc"], options["bitrate"]) == ("abr", "400")


def test_playlist_without_iv_uses_sequence_numbers_and_plays(tmp_path, short_av):
    playlist = job_360p(tmp_path, short_av, iv=False)
    assert finished(playlist)
    # The muxer then writes each segment's sequence number as its IV.
    assert f'#EXT-X-KEY:METHOD=AES-128,URI="enc.key",IV=0x{0:032x}\n' in playlist.read_text()
    assert len(video_frames(*playlist_input(playlist))) == 60


@pytest.mark.parametrize("source_lufs, volume_db", [(-30, -8.2), (-6, 15.8)])
def test_loudness_is_normalised_to_minus_14_lufs(tmp_path, source_at, source_lufs, volume_db):
    # Only the sound matters here: a still picture costs the encoder next to nothing.
    source = source_at(f"loudness_{source_lufs}.mp4", seconds=12, size="160x120", volume_db=volume_db,
                       picture="color")
    assert integrated_loudness("-i", str(source)) == pytest.approx(source_lufs, abs=0.5)
    playlist = job_360p(tmp_path, source)
    assert finished(playlist)
    measured = integrated_loudness(*playlist_input(playlist))
    print(f"source {source_lufs} LUFS -> rendition {measured} LUFS")
    assert measured == pytest.approx(-14, abs=1)


def test_portrait_source_gives_portrait_rendition(tmp_path, portrait_av):
    playlist = job_360p(tmp_path, portrait_av)
    assert {(f["width"], f["height"]) for f in video_frames(*playlist_input(playlist))} == {(360, 640)}
    assert "RESOLUTION=360x640" in (tmp_path / "master.m3u8").read_text()


@pytest.mark.parametrize("rate, extra, expected_frames", [
    pytest.param(25, (), 50, id="25fps-keeps-every-picture"),
    # Stamps 0..119 in 1/60 s land on ticks 0, 1, 1, 2, 2, ... 60: repeats are dropped.
    pytest.param(60, ("-video_track_timescale", "60"), 61, id="60fps-timebase-1-60"),
])
def test_frame_rates_land_on_the_30fps_grid(tmp_path, source_at, rate, extra, expected_frames):
    source = source_at(f"rate_{rate}.mp4", seconds=2, size="160x120", rate=rate, extra=extra)
    playlist = job_360p(tmp_path, source)
    assert finished(playlist)
    frames = video_frames(*playlist_input(playlist))
    assert len(frames) == expected_frames
    stamps = [float(f["pts_time"]) for f in frames]
    assert stamps == sorted(stamps) and len(set(stamps)) == len(stamps)


def test_pictures_without_timestamps_are_stamped_in_sequence(tmp_path, media_dir):
    """H.264 with B-frames in AVI decodes to pictures that carry no pts at all."""
    source = generate(media_dir / "no_pts.avi", "-f", "lavfi", "-i", "testsrc2=size=160x120:rate=30:duration=2",
                      "-f", "lavfi", "-i", "sine=duration=2", "-c:v", "libx264", "-preset", "fast",
                      "-c:a", "pcm_s16le")
    assert all(f.get("pts_time") is None for f in video_frames(str(source)))
    playlist = job_360p(tmp_path, source)
    assert finished(playlist)
    assert len(video_frames(*playlist_input(playlist))) == 60


@pytest.mark.parametrize("interlaced", [False, True])
def test_picture_size_change_mid_stream(tmp_path, media_dir, interlaced):
    """A 320x240 picture (progressive, or interlaced: the deinterlacer holds a picture back
    when the size changes), then a 480x270 one whose left half is red and right half blue."""
    interlace = ("-vf", "interlace=scan=tff:lowpass=off", "-flags", "+ildct+ilme", "-x264-params", "tff=1")
    first = make_source(media_dir / f"size_a{'_interlaced' if interlaced else ''}.ts", seconds=1, size="320x240",
                        rate=60 if interlaced else 30, extra=interlace if interlaced else ())
    second = generate(media_dir / "size_b.ts", "-f", "lavfi", "-i", "color=c=red:s=240x270:r=30:d=1",
                      "-f", "lavfi", "-i", "color=c=blue:s=240x270:r=30:d=1",
                      "-f", "lavfi", "-i", "sine=duration=1:sample_rate=48000", "-ac", "2",
                      "-filter_complex", "[0][1]hstack",
                      "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac",
                      "-output_ts_offset", "1.1")
    joined = media_dir / "size_change.ts"
    joined.write_bytes(first.read_bytes() + second.read_bytes())
    assert {(f["width"], f["height"]) for f in video_frames(str(joined))} == {(320, 240), (480, 270)}

    playlist = job_360p(tmp_path, joined)
    assert finished(playlist)
    frames = video_frames(*playlist_input(playlist))
    assert {(f["width"], f["height"]) for f in frames} == {(640, 360)}
    assert len(frames) == 60
    # The last picture must be the whole 480x270 picture scaled: red ends at half the width.
    raw = subprocess.run(["ffmpeg", "-v", "error", *playlist_input(playlist), "-vf", "scale=64:36",
                          "-pix_fmt", "rgb24", "-f", "rawvideo", "-"],
                         check=True, capture_output=True).stdout
    last = raw[-64 * 36 * 3:]

    def pixel(x, y):
        return tuple(last[(y * 64 + x) * 3:(y * 64 + x) * 3 + 3])

    def near(found, wanted):
        return all(abs(a - b) < 60 for a, b in zip(found, wanted))

    assert near(pixel(24, 18), (255, 0, 0)), pixel(24, 18)
    assert near(pixel(40, 18), (0, 0, 255)), pixel(40, 18)


def test_extra_audio_and_subtitle_streams_are_passed_over(tmp_path, media_dir):
    subtitles = media_dir / "subs.srt"
    subtitles.write_text("1\n00:00:00,000 --> 00:00:01,500\nhello\n")
    source = generate(media_dir / "extra_streams.mkv", "-f", "lavfi", "-i", "testsrc2=size=160x120:rate=30:duration=2",
                      "-f", "lavfi", "-i", "sine=frequency=440:duration=2",
                      "-f", "lavfi", "-i", "sine=frequency=880:duration=2", "-i", str(subtitles),
                      "-map", "0", "-map", "1", "-map", "2", "-map", "3",
                      "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac", "-c:s", "srt")
    playlist = job_360p(tmp_path, source)
    assert finished(playlist)
    found = ffprobe("-show_streams", *playlist_input(playlist))["streams"]
    assert sorted(s["codec_type"] for s in found) == ["audio", "video"]


def test_failing_renditions_leave_nothing_and_the_master_still_lists_them(tmp_path, short_av):
    folder = tmp_path / "missing_key"
    folder.mkdir()
    (folder / "enc.keyinfo").write_text(f"enc.key\n{folder / 'no-such.key'}\n")
    assert run_job(folder, str(short_av), "master.m3u8", ["360p", "480p"]) is None
    assert sorted(p.name for p in folder.iterdir()) == ["enc.keyinfo", "master.m3u8"]
    assert "480p.m3u8" in (folder / "master.m3u8").read_text()
