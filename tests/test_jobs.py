"""kestrava_jobs.package_video and the kestrava-package command, on real jobs."""

import json
import pathlib
import re
import subprocess
import sys
import threading
import time

import pytest
from helpers import job_children, needs_unsanitized_module, quiet
from media import claiming_duration, ffprobe, make_source, stream_inf, write_key_info

from kestrava_jobs import PackageError, PackageTimeout, UnreadableSource, package_video
from kestrava_jobs.hls.check import playlist_seconds

pytestmark = needs_unsanitized_module


def key_and_iv(result) -> tuple[bytes, str]:
    key_info = pathlib.Path(result.key_file).with_suffix(".keyinfo").read_text().splitlines()
    return pathlib.Path(key_info[1]).read_bytes(), key_info[2]


def x264_bitrate(segment: pathlib.Path, key: bytes, iv: str) -> str:
    """The target bit rate x264 wrote into its settings SEI (kb/s)."""
    stream = subprocess.run(["ffmpeg", "-v", "error", "-key", key.hex(), "-iv", iv, "-i", f"crypto:{segment}",
                             "-map", "0:v", "-c", "copy", "-f", "h264", "-"], check=True, capture_output=True).stdout
    return stream.split(b" bitrate=")[1].split(b" ")[0].decode()


@quiet
def test_default_ladder_runs_aside_and_is_checked(tmp_path, hd_source, key_dir):
    """A 720p source: 720p, 480p and 360p, while the caller's threads keep running."""
    out = tmp_path / "package"
    calls: list[tuple[float, float | None]] = []
    longest_pause = 0.0
    finished = threading.Event()

    def ticker():
        nonlocal longest_pause
        last = time.monotonic()
        while not finished.is_set():
            time.sleep(0.01)
            now = time.monotonic()
            longest_pause, last = max(longest_pause, now - last), now

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        result = package_video(hd_source, out, on_progress=lambda done, total: calls.append((done, total)))
    finally:
        finished.set()
        thread.join()
    print(f"longest pause of another thread: {longest_pause:.3f} s; progress calls {calls}")
    assert longest_pause < 0.3
    assert (result.complete, result.failed) == (["720p", "480p", "360p"], [])
    assert calls[-1] == (pytest.approx(2.0, abs=0.05), pytest.approx(2.0, abs=0.05))
    assert [done for done, _ in calls] == sorted(done for done, _ in calls)

    # The key lives in the key folder, neither in the package nor beside it.
    assert {p.name for p in tmp_path.iterdir()} == {"package", "package.lock", "package.log", "package.done.json"}
    assert pathlib.Path(result.key_file).parent == key_dir and result.key_uri == "enc.key"
    # Beside the renditions only the poster, as large as the largest, and the storyboard.
    assert {p.name for p in out.iterdir() if p.suffix not in (".m3u8", ".ts")} == {
        "poster.jpg", "storyboard_0.jpg", "storyboard.vtt"}
    assert ffprobe("-show_entries", "stream=width,height", str(out / "poster.jpg"))["streams"] == [
        {"width": 1280, "height": 720}]
    variants = stream_inf((out / "master.m3u8").read_text().splitlines())
    assert [uri for _, uri in variants] == ["720p.m3u8", "480p.m3u8", "360p.m3u8"]
    for (attributes, uri), (width, height) in zip(variants, [(1280, 720), (854, 480), (640, 360)]):
        rendition = result.renditions[uri.removesuffix(".m3u8")]
        assert (rendition.width, rendition.height, rendition.segments) == (width, height, 1)
        assert f"BANDWIDTH={rendition.peak_bitrate},AVERAGE-BANDWIDTH={rendition.bitrate}," in attributes
        assert rendition.peak_bitrate >= rendition.bitrate > 0
        assert rendition.bitrate == round(rendition.bytes * 8 / rendition.duration)
        assert f"RESOLUTION={width}x{height},FRAME-RATE=30," in attributes
        assert attributes.endswith(f'CODECS="{rendition.codecs}"')
        assert rendition.codecs.startswith("avc1.64") and rendition.codecs.endswith(",mp4a.40.2")


def test_each_name_gets_its_own_rate(tmp_path, hd_source):
    result = package_video(hd_source, tmp_path / "out", resolution=["360p"])
    assert (result.complete, result.failed) == (["360p"], [])
    # The module alone would pair 360p with the first default rate, 5 Mb/s.
    assert x264_bitrate(tmp_path / "out" / "360p_000.ts", *key_and_iv(result)) == "400"
    assert [uri for _, uri in stream_inf((tmp_path / "out" / "master.m3u8").read_text().splitlines())] == [
        "360p.m3u8"]
    # Without names, rates go with the whole ladder: 1080p's and 720p's are dropped with them.
    result = package_video(hd_source, tmp_path / "ladder", bitrate=[5_000_000, 2_000_000, 900_000])
    assert result.complete == ["720p", "480p", "360p"]
    assert x264_bitrate(tmp_path / "ladder" / "720p_000.ts", *key_and_iv(result)) == "2000"


def test_folder_in_use_is_refused_before_any_work(tmp_path, hd_source):
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "keep.txt").write_text("someone's file")
    with pytest.raises(FileExistsError, match="must be new or empty"):
        package_video(hd_source, tmp_path / "out")
    assert sorted(p.name for p in tmp_path.rglob("*")) == ["keep.txt", "out"]


@quiet
def test_time_out_kills_the_job(tmp_path, hd_source):
    out = tmp_path / "out"
    started = time.monotonic()
    with pytest.raises(PackageTimeout, match="time-out of 0.5 s and was killed after") as raised:
        package_video(hd_source, out, resolution=["1080p", "720p"], timeout=0.5)
    assert time.monotonic() - started < 3
    # Killed when its time was up, not stopped by a later step once the encoding had run its course.
    assert float(str(raised.value).split("killed after ")[1].split()[0]) < 0.5 + 1
    assert raised.value.result.complete == []
    assert job_children(out) == []


def test_a_bad_upload_is_refused_in_plain_words_before_any_file(tmp_path, media_dir):
    """A text file named .mp4, and sound without pictures: both known from the probe."""
    text = tmp_path / "upload.mp4"
    text.write_bytes(b"not a video at all " * 100)
    sound = make_source(media_dir / "jobs_sound_only.m4a", seconds=1, extra=("-vn",))
    for source, words in [(text, "not a video or audio file FFmpeg can read (FFmpeg: moov atom not found)"),
                          (sound, "has no video to package")]:
        with pytest.raises(UnreadableSource, match=re.escape(f"{source}: {words}")):
            package_video(source, tmp_path / "out", resolution=["360p"])
    assert sorted(p.name for p in tmp_path.iterdir()) == ["upload.mp4"]


def test_no_complete_rendition_says_why_and_leaves_the_folder_as_found(tmp_path, media_dir):
    """A source whose pictures do not decode (its media data overwritten): the module finishes
    with no picture at all, and the error names that and FFmpeg's own words."""
    source = make_source(media_dir / "jobs_undecodable.mp4", seconds=1, extra=("-movflags", "+faststart"))
    data = bytearray(source.read_bytes())
    start = data.index(b"mdat") + 4
    data[start:] = b"Z" * (len(data) - start)
    source.write_bytes(data)
    with pytest.raises(PackageError) as raised:
        package_video(source, tmp_path / "out", resolution=["360p"])
    assert raised.value.result.failed == ["360p"]
    assert re.search(r"came out complete: 360p: it holds no media: nothing of the source decoded "
                     r"\(FFmpeg: \[(h264|aac)\] ", str(raised.value))
    assert raised.value.result.key_file == ""
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.lock", "out.log"]
    # The caller's own key stays theirs, and the result says where it is.
    (tmp_path / "keys").mkdir()
    key_info = write_key_info(tmp_path / "keys")[0]
    with pytest.raises(PackageError) as raised:
        package_video(source, tmp_path / "given", resolution=["360p"], key_info=key_info)
    assert raised.value.result.key_file == str(tmp_path / "keys" / "enc.key")


def test_command_line(tmp_path, hd_source, media_dir):
    """Lists given with commas or one per option, before the paths; the output's lines whole
    and errors one line on stderr when nothing is a terminal (rich wraps at 80 columns then)."""
    command = [sys.executable, "-m", "kestrava_jobs"]
    single = subprocess.run([*command, "--resolution", "480p,360p", "--bitrate", "900000,300000", "--no-storyboard",
                             str(hd_source), str(tmp_path / "one")], capture_output=True, text=True)
    assert (single.returncode, single.stderr) == (0, "")
    lines = single.stdout.splitlines()
    heading = f"{hd_source} -> {tmp_path / 'one' / 'master.m3u8'}"
    assert re.fullmatch(rf"{re.escape(heading)} \(\d+\.\d s\)", lines[0])
    assert lines[-2:-1] == [str(tmp_path / "one" / "poster.jpg")] and not (tmp_path / "one" / "storyboard.vtt").exists()
    key = pathlib.Path(lines[-1].removeprefix("key: "))
    iv = key.with_suffix(".keyinfo").read_text().splitlines()[2]
    assert x264_bitrate(tmp_path / "one" / "360p_000.ts", key.read_bytes(), iv) == "300"
    assert [uri for _, uri in stream_inf((tmp_path / "one" / "master.m3u8").read_text().splitlines())] == [
        "480p.m3u8", "360p.m3u8"]

    not_media = tmp_path / "notes.mp4"
    not_media.write_text("not a video\n")
    failed = subprocess.run([*command, str(not_media), str(tmp_path / "two")], capture_output=True, text=True)
    assert (failed.returncode, failed.stdout) == (1, "")
    assert failed.stderr.count("\n") == 1 and failed.stderr.startswith(f"{not_media}: ")
    assert "moov atom not found" in failed.stderr
    for arguments, words in [(["--resolution", "1440p", "--resolution", "720p,360p"], "names ['1440p']: choose from"),
                             (["--resolution", "720p", "360p"], "360p: a rendition name where a source belongs"),
                             (["--bitrate", "2.5M"], "bit rates are whole numbers of bits per second")]:
        refused = subprocess.run([*command, *arguments, str(not_media), str(tmp_path / "three")], capture_output=True,
                                 text=True)
        assert (refused.returncode, refused.stdout, refused.stderr.count("\n")) == (2, "", 1), refused.stderr
        assert words in refused.stderr

    other = make_source(media_dir / "jobs_second.mp4", seconds=1, size="320x240")
    batch = subprocess.run([*command, str(hd_source), str(other), str(tmp_path / "root"), "--jobs", "2",
                            "--resolution", "360p", "--json", "--no-poster"], capture_output=True, text=True)
    assert batch.returncode == 0, batch.stderr
    documents = json.loads(batch.stdout)
    assert [(d["pictures"]["poster"], d["pictures"]["tiles"]) for d in documents] == [("", 2), ("", 1)]
    assert [(d["out_dir"], d["complete"], d["failed"]) for d in documents] == [
        (str(tmp_path / "root" / name), ["360p"], []) for name in ("jobs_1280x720", "jobs_second")]


@quiet
def test_progress_only_goes_forward_and_the_master_lists_the_peak(tmp_path, media_dir):
    """13 s in three segments, two renditions: what each call says is what both have written."""
    source = make_source(media_dir / "jobs_progress_13s.mp4", seconds=13, size="854x480", picture="testsrc")
    out = tmp_path / "out"
    calls: list[tuple[float, float | None, float, float]] = []

    def record(done: float, total: float | None) -> None:
        written = min(playlist_seconds(out / f"{name}.m3u8") for name in ("480p", "360p"))
        calls.append((done, total, written, time.monotonic()))

    started = time.monotonic()
    result = package_video(source, out, resolution=["480p", "360p"], on_progress=record)
    print(f"progress calls {[call[:3] for call in calls]}")
    assert calls[0][3] - started < 1, "the first call comes at once"
    assert calls[0][:2] == (0.0, pytest.approx(13.0, abs=0.1))
    assert [done for done, *_ in calls] == sorted(done for done, *_ in calls)
    assert all(done <= written + 1e-6 for done, _, written, _ in calls[1:-1])
    assert calls[-1][0] == calls[-1][1] and len(calls) >= 3
    for attributes, uri in stream_inf((out / "master.m3u8").read_text().splitlines()):
        rendition = result.renditions[uri.removesuffix(".m3u8")]
        assert rendition.segments == 3
        assert f"BANDWIDTH={rendition.peak_bitrate},AVERAGE-BANDWIDTH={rendition.bitrate}," in attributes
        assert rendition.peak_bitrate > rendition.bitrate
    # A header that claims 3 s of 9 s: once the playlists list more, the end reports no less.
    short_header = claiming_duration(make_source(media_dir / "jobs_claims_3s.mp4", seconds=9, size="160x120"), 3)
    figures: list[tuple[float, float | None]] = []
    package_video(short_header, tmp_path / "short_header", on_progress=lambda *call: figures.append(call))
    print(f"progress calls {figures}")
    assert figures[0] == (0.0, 3.0) and figures[-1][0] >= 6
    assert [done for done, _ in figures] == sorted(done for done, _ in figures)
