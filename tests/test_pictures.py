"""The poster and the storyboard, made of short generated sources and measured: each tile
against the ffmpeg CLI's own picture of its time, the index's cues against the media's
length, the poster's shape, colour and lines."""

import os
import pathlib
import re
import subprocess
import threading
import time

import numpy as np
import pysubs2
import pytest
from helpers import needs_unsanitized_module, priority_of
from media import ffprobe, generate, make_source, segment_durations
from test_pictures_and_timing import CLI_TONE_MAP, HDR_TRANSFERS, TAGS_709, bar_colours, picture_stats
from test_real_world_sources import rotated

from kestrava_jobs import package_video
from kestrava_jobs.common.deadline import Deadline
from kestrava_jobs.pictures import layout
from kestrava_jobs.pictures.commands import Children
from kestrava_jobs.pictures.job_pictures import JobPictures
from kestrava_jobs.pictures.make import make_pictures
from kestrava_jobs.pictures.order import pictures_order
from kestrava_jobs.pictures.storyboard import key_frames_in_each
from kestrava_jobs.source.probe import probe_source
from kestrava_jobs.storage.folder import JobFolder

SLIDE_SECONDS = 12


def pictures_of(tmp_path: pathlib.Path, source: pathlib.Path, names=("360p",), **wanted):
    folder = tmp_path / "package"
    folder.mkdir()
    info = probe_source(str(source), Deadline(None))
    order = pictures_order(str(source), info, list(names), wanted.get("poster", True), wanted.get("storyboard", True))
    return make_pictures(order, JobFolder(folder), Deadline(None)), folder


def frames(*input_args: str, size: tuple[int, int], filters: str = "null") -> np.ndarray:
    """Every picture ffmpeg decodes, as luma arrays."""
    raw = subprocess.run(["ffmpeg", "-v", "error", *input_args, "-vf", filters, "-fps_mode", "passthrough",
                          "-f", "rawvideo", "-pix_fmt", "gray", "-"], check=True, capture_output=True).stdout
    return np.frombuffer(raw, np.uint8).reshape(-1, size[1], size[0]).astype(float)


def psnr(a: np.ndarray, b: np.ndarray) -> float:
    mse = np.mean((a - b) ** 2)
    return float("inf") if mse == 0 else 10 * np.log10(255 ** 2 / mse)


def cues(folder: pathlib.Path) -> list[tuple[float, float, str, tuple[int, ...]]]:
    """The index's cues: start, end, sheet and its tile's x, y, w, h."""
    found = []
    for event in pysubs2.load(str(folder / "storyboard.vtt"), format_="vtt"):
        sheet, box = event.plaintext.strip().split("#xywh=")
        found.append((event.start / 1000, event.end / 1000, sheet, tuple(map(int, box.split(",")))))
    return found


def tiles(folder: pathlib.Path) -> list[np.ndarray]:
    sheets = {}
    for _, _, sheet, (x, y, w, h) in cues(folder):
        if sheet not in sheets:
            probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=width,height", "-of", "csv=p=0",
                                    str(folder / sheet)], check=True, capture_output=True, text=True).stdout
            sheets[sheet] = frames("-i", str(folder / sheet), size=tuple(map(int, probe.split(","))))[0]
        yield sheets[sheet][y:y + h, x:x + w]


def assert_covers(folder: pathlib.Path, length: float, interval: int) -> None:
    """Cues from 0 to the media's end, one after another without gap or overlap."""
    found = cues(folder)
    assert found[0][0] == 0
    assert all(earlier[1] == later[0] for earlier, later in zip(found, found[1:]))
    assert abs(found[-1][1] - length) <= interval


SLIDE_RATE = 25  # a slide's first picture is a B-frame no picture refers to, at every other second


def slide_source(path: pathlib.Path, seconds: int, gap: int, *extra: str, video_offset_ms: int = 0) -> pathlib.Path:
    """Slides: a new picture every second, with x264's B-frames; key frames `gap` s apart;
    `extra` names more inputs (a sound), then output options."""
    filters = f"fps={SLIDE_RATE}" + (f",settb=1/1000,setpts=PTS+{video_offset_ms}" if video_offset_ms else "")
    # The offset kept to the millisecond: the encoder's own time base would round it to a picture.
    exact = ("-fps_mode", "passthrough", "-enc_time_base:v", "1/1000") if video_offset_ms else ()
    return generate(path, "-f", "lavfi", "-i", f"testsrc2=size=320x180:rate=1:duration={seconds}", *extra,
                    "-vf", filters, *exact, "-c:v", "libx264", "-g", str(gap * SLIDE_RATE), "-pix_fmt", "yuv420p")


def order_of(source: pathlib.Path):
    return pictures_order(str(source), probe_source(str(source), Deadline(None)), ["360p"], True, True)


def assert_tiles_show(folder: pathlib.Path, source: pathlib.Path, slides: list[int]) -> None:
    """Each tile is the slide given for it, not the one before or after it."""
    reference = frames("-i", str(source), size=(160, 90), filters=f"select='not(mod(n,{SLIDE_RATE}))',scale=160:90")
    made = list(tiles(folder))
    scores = [[psnr(tile, reference[near]) if 0 <= near < len(reference) else 0.0 for near in (slide - 1, slide, slide + 1)]
              for slide, tile in zip(slides, made)]
    print(f"PSNR of each tile against the slide before, its own and the next: {np.round(scores, 1).tolist()}")
    assert len(made) == len(slides) and all(own >= 25 and own > max(before, after) + 10
                                            for before, own, after in scores)


@pytest.mark.parametrize("gap", [10, 1])
def test_each_tile_is_its_slide_and_the_index_covers_the_video(tmp_path, media_dir, gap, monkeypatch):
    source = slide_source(media_dir / f"slides_gop{gap}.mp4", SLIDE_SECONDS, gap)
    # Key frames alone are decoded only where there is one every interval.
    assert key_frames_in_each(Children(), order_of(source), 1, SLIDE_SECONDS, Deadline(None)) is (gap == 1)
    put, replace = [], os.replace
    monkeypatch.setattr(os, "replace", lambda old, new: put.append(pathlib.Path(new).name) or replace(old, new))
    made, folder = pictures_of(tmp_path, source)
    assert put == ["poster.jpg", "storyboard_0.jpg", "storyboard.vtt"], "the index never names a missing sheet"
    assert (made.tiles, made.interval, made.tile_width, made.tile_height, made.skipped) == (12, 1, 160, 90, "")
    assert_tiles_show(folder, source, list(range(SLIDE_SECONDS)))
    assert_covers(folder, SLIDE_SECONDS, 1)
    assert [sheet for _, _, sheet, _ in cues(folder)] == ["storyboard_0.jpg"] * 12


@pytest.mark.parametrize("container", ["mkv", "mp4", "ts", "flv"])
def test_a_source_is_as_long_as_its_media_whatever_its_clock(media_dir, container):
    # Matroska and MP4 give their end time as their duration, MPEG-TS and FLV their length;
    # a caption that lasts past the pictures does not count.
    (media_dir / "past_the_end.srt").write_text("1\n00:00:02,000 --> 00:00:09,000\nStill here\n")
    captions = ("-i", str(media_dir / "past_the_end.srt"), "-map", "0", "-map", "1") if container == "mkv" else ()
    for offset in ("1", "10"):
        source = generate(media_dir / f"length_3s_from_{offset}.{container}", "-f", "lavfi", "-i",
                          "testsrc2=size=64x64:duration=3", *captions, "-c:v", "libx264", "-preset", "ultrafast",
                          "-output_ts_offset", offset)
        assert probe_source(str(source), Deadline(None)).duration == pytest.approx(3, abs=0.05)


@needs_unsanitized_module
def test_a_source_whose_clock_starts_late_is_as_long_as_its_media(tmp_path, media_dir):
    # 8 s of slides whose first stamp is 10.03 s, its sound's 10 s: Matroska gives its duration
    # as 18.03 s. Without B-frames, every picture is decoded for the tiles.
    source = slide_source(media_dir / "slides_late.mkv", 8, 10, "-f", "lavfi", "-i", "sine=duration=8",
                          "-c:a", "pcm_s16le", "-output_ts_offset", "10", "-bf", "0", video_offset_ms=30)
    totals = []
    result = package_video(source, tmp_path / "out", resolution=["360p"], on_progress=lambda done, total:
                           totals.append(total))
    length = sum(segment_durations(tmp_path / "out" / "360p.m3u8"))
    assert (round(length, 1), {round(total, 1) for total in totals}) == (8, {8})
    assert (result.pictures.tiles, result.pictures.skipped) == (9, "")
    assert_covers(tmp_path / "out", length, 0.05)
    # On the package's clock, each slide's last picture (0.01 s before its end, 0.03 s
    # later from the origin) is stamped at the next second: that second's tile shows it.
    assert_tiles_show(tmp_path / "out", source, [0, *range(8)])


@pytest.mark.parametrize("name, keys, expected", [
    # Key frames a second apart on a clock that starts 10 s late (Matroska's duration: 22 s).
    ("keys_1s_late.mkv", ("-g", "25", "-output_ts_offset", "10"), True),
    # Key frames 1.04 s apart: no gap is much over a second, yet the 26th second holds none.
    ("keys_1.04s.mp4", ("-g", "26"), False),
    # Key frames a second apart that stop before the last second.
    ("keys_stop.mp4", ("-g", "1000", "-force_key_frames", "expr:lt(t,28.5)*not(mod(n,25))"), False)])
def test_key_frames_alone_serve_only_where_each_interval_holds_one(media_dir, name, keys, expected):
    source = generate(media_dir / name, "-f", "lavfi", "-i", "testsrc2=size=64x64:rate=25:duration=30",
                      "-c:v", "libx264", "-preset", "ultrafast", "-sc_threshold", "0", *keys)
    assert key_frames_in_each(Children(), order_of(source), 1, 30, Deadline(None)) is expected


def test_a_video_a_little_shorter_than_its_sound_is_whole(tmp_path, media_dir):
    source = generate(media_dir / "video_6s_sound_6.4s.mp4", "-f", "lavfi", "-i", "testsrc2=size=160x90:duration=6",
                      "-f", "lavfi", "-i", "sine=duration=6.4", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac")
    made, folder = pictures_of(tmp_path, source)
    assert (made.tiles, made.skipped, cues(folder)[-1][:2]) == (6, "", (5, pytest.approx(6.4, abs=0.03)))


def test_the_interval_keeps_a_video_within_a_hundred_tiles():
    lengths = {0.6: 1, 100: 1, 100.5: 2, 200: 2, 201: 5, 500: 5, 1000: 10, 1500: 15, 3000: 30, 6000: 60, 9000: 60}
    assert {length: layout.tile_interval(length) for length in lengths} == lengths
    # Past 100 minutes a second sheet begins; the last sheet is only as large as it needs.
    assert [layout.place(tile, (160, 90)) for tile in (0, 11, 99, 100)] == [
        layout.Place(0, 0, 0), layout.Place(0, 160, 90), layout.Place(0, 1440, 810), layout.Place(1, 0, 0)]
    assert layout.sheet_grid(150 - 100) == (10, 5) and layout.sheet_grid(3) == (3, 1)


@pytest.mark.parametrize("pixels, height", [("1", 120), ("4/3", 90)])  # square, and stretched to 16:9 on screen
def test_a_clip_shorter_than_an_interval_gets_one_tile_to_its_end(tmp_path, media_dir, pixels, height):
    source = make_source(media_dir / f"clip_0.6s_sar{pixels.replace('/', '-')}.mp4", seconds=0.6, size="320x240",
                         audio=None, extra=("-vf", f"setsar={pixels}"))
    made, folder = pictures_of(tmp_path, source)
    assert (made.tiles, made.tile_height, [cue[:2] for cue in cues(folder)]) == (1, height, [(0, 0.6)])


@pytest.mark.parametrize("degrees", [90, 270])
def test_a_phone_video_gives_portrait_tiles_and_an_upright_poster(tmp_path, media_dir, degrees):
    source = rotated(media_dir, degrees)  # 320x180 stored, turned a quarter either way
    made, folder = pictures_of(tmp_path, source)
    upright = frames("-i", str(source), size=(160, 284), filters="scale=160:284")  # the CLI turns it itself
    poster = frames("-i", str(folder / "poster.jpg"), size=(180, 320))[0]
    # The poster is the picture closest to its window's average: the best of the source's.
    best = max(psnr(poster, picture) for picture in frames("-i", str(source), size=(180, 320)))
    tile = next(tiles(folder))
    print(f"tile {psnr(tile, upright[0]):.1f} dB, poster {best:.1f} dB against the CLI's upright pictures")
    assert (made.tile_width, made.tile_height) == (160, 284)
    assert probe_source(str(source), Deadline(None)).shown_size == (180, 320)
    assert psnr(tile, upright[0]) >= 25 and best >= 25


def test_the_poster_is_first_at_most_1280_px_wide_in_the_sources_colours(tmp_path, media_dir):
    source = generate(media_dir / "bars_1080p.mp4", "-f", "lavfi", "-i", "smptehdbars=size=1920x1080:rate=30:duration=1",
                      "-vf", "format=yuv420p", "-c:v", "libx264", "-preset", "ultrafast", *TAGS_709)
    (tmp_path / "package").mkdir()
    order = pictures_order(str(source), probe_source(str(source), Deadline(None)), ["1080p", "360p"], True, True)
    told = []
    pictures = JobPictures(order, JobFolder(tmp_path / "package"), Deadline(None), told.append)
    try:
        # What the first master may name: the poster, once its attempt has ended, told of first.
        assert (pictures.made_so_far(wait_for_poster=True), told) == (("poster.jpg",), ["poster.jpg"])
        made = pictures.finish()
    finally:
        pictures.close()
    stopped = JobPictures(order, JobFolder(tmp_path / "package"), Deadline(None), None)
    stopped.close()  # as a job that ends at once: its children killed, nothing more made
    assert stopped.steps[0].result().skipped == "no poster: the job ended first" and stopped.steps[1].cancelled()
    poster = tmp_path / "package" / "poster.jpg"
    found = ffprobe("-show_entries", "stream=width,height,color_range", str(poster))["streams"][0]
    theirs, ours = bar_colours("-i", str(source)), bar_colours("-i", str(poster))
    print(f"bars: source {theirs}, poster {ours}")
    assert (found["width"], found["height"], found["color_range"], made.tiles) == (1280, 720, "pc", 1)
    assert max(abs(a - b) for colour, mine in zip(theirs, ours) for a, b in zip(colour, mine)) <= 6


def test_an_hlg_video_gives_tiles_and_a_poster_in_sdr_colour(tmp_path, media_dir):
    transfer = HDR_TRANSFERS["hlg"]
    source = generate(
        media_dir / "bars_hlg.mp4", "-f", "lavfi", "-i", "smptehdbars=size=640x360:rate=30:duration=2", "-vf",
        f"zscale=tin=bt709:min=bt709:pin=bt709:rin=tv:t={transfer}:m=bt2020nc:p=bt2020:r=tv:npl=203,"
        "format=yuv420p10le", "-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error",
        "-colorspace", "bt2020nc", "-color_primaries", "bt2020", "-color_trc", transfer)
    sdr = generate(media_dir / "bars_sdr_tile.mp4", "-f", "lavfi", "-i", "smptehdbars=size=160x90:rate=30:duration=1",
                   "-vf", "format=yuv420p", "-c:v", "libx264", "-preset", "ultrafast")
    made, folder = pictures_of(tmp_path, source)
    sheet, poster, bars = (picture_stats("-i", str(path))["SATAVG"]
                           for path in (folder / "storyboard_0.jpg", folder / "poster.jpg", sdr))
    mapped = frames("-i", str(source), size=(160, 90), filters=f"scale=160:90,{CLI_TONE_MAP}")
    print(f"saturation: tiles {sheet:.1f}, poster {poster:.1f}, SDR bars {bars:.1f}; "
          f"{psnr(next(tiles(folder)), mapped[0]):.1f} dB against the CLI's tone mapping")
    assert sheet >= 0.7 * bars and poster >= 0.7 * bars
    assert psnr(next(tiles(folder)), mapped[0]) >= 25


def combing(picture: np.ndarray) -> float:
    """How much each line differs from the mean of its neighbours: the teeth of two fields
    shot apart in time."""
    return float(np.mean(np.abs(2 * picture[1:-1] - picture[:-2] - picture[2:])))


def test_an_interlaced_poster_shows_no_combing(tmp_path, media_dir):
    source = generate(  # a white bar racing across, top field first, as the renditions' test shoots it
        media_dir / "interlaced_360.mkv", "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=60:duration=2",
        "-f", "lavfi", "-i", "color=white:size=12x360:rate=60",
        "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=2", "-filter_complex",
        "[0]lutyuv=y=val*0.5[dim];[dim][1]overlay=x='mod(t*1200,600)':y=0:shortest=1,"
        "interlace=scan=tff:lowpass=off,format=yuv420p",
        "-c:v", "libx264", "-preset", "ultrafast", "-flags", "+ildct+ilme", "-x264-params", "tff=1", "-c:a", "aac")
    made, folder = pictures_of(tmp_path, source, storyboard=False)
    poster = frames("-i", str(folder / "poster.jpg"), size=(640, 360))[0]
    woven = frames("-i", str(source), size=(640, 360))
    woven = float(np.median([combing(picture) for picture in woven]))
    print(f"combing: poster {combing(poster):.2f}, the source's pictures {woven:.2f} (median)")
    assert (made.storyboard, made.tiles) == ("", 0)
    assert combing(poster) < 0.5 * woven


def test_the_poster_is_never_black_where_the_source_shows_more(tmp_path, media_dir):
    # Black for its first 3 s (the window a tenth of the way in, and the start), then the pattern.
    source = generate(media_dir / "black_then_pattern.mp4", "-f", "lavfi", "-i", "color=black:size=320x180:rate=30:d=3",
                      "-f", "lavfi", "-i", "testsrc2=size=320x180:rate=30:d=7", "-filter_complex",
                      "[0][1]concat=n=2:v=1", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p")
    made, folder = pictures_of(tmp_path, source, storyboard=False)
    assert made.poster and picture_stats("-i", str(folder / "poster.jpg"))["YAVG"] > 60


def test_a_video_that_stops_decoding_still_gets_a_poster_and_what_decoded(tmp_path, media_dir):
    source = make_source(media_dir / "breaks_after_1s.mp4", seconds=10, size="320x180", audio=None,
                         extra=("-movflags", "+faststart"))
    data = bytearray(source.read_bytes())
    # The media data after its first 8% zeroed: no picture decodes after the first second.
    start = data.index(b"mdat") + 4
    cut = start + (len(data) - start) * 8 // 100
    data[cut:] = bytes(len(data) - cut)
    spoilt = tmp_path / "breaks.mp4"
    spoilt.write_bytes(bytes(data))
    made, folder = pictures_of(tmp_path, spoilt)
    print(made)
    assert (folder / "poster.jpg").is_file() and 1 <= made.tiles <= 3
    assert re.fullmatch(r"the video decoded only to \d s of 10.000 s; the storyboard stops there", made.skipped)
    assert_covers(folder, made.tiles, 0)
    # Nothing decodes at all: neither is made, each with its reason.
    data[start + 64:] = bytes(len(data) - start - 64)
    spoilt.write_bytes(bytes(data))
    (tmp_path / "nothing").mkdir()
    nothing, _ = pictures_of(tmp_path / "nothing", spoilt)
    assert re.fullmatch(r"no poster: .+; no storyboard: .+", nothing.skipped), nothing.skipped
    assert (nothing.poster, nothing.storyboard) == ("", "")


def picture_children(source: pathlib.Path) -> dict[str, tuple[int, int | None]]:
    """The nice value of this machine's ffmpeg children making the poster and the storyboard
    of `source`, and that of each one's session group where the kernel groups sessions
    (autogroup)."""
    found = {}
    for proc in pathlib.Path("/proc").iterdir():
        try:
            command = (proc / "cmdline").read_bytes().split(b"\0")
            if b"-noautorotate" in command and str(source).encode() in command and command[0] == b"ffmpeg":
                found["poster" if b"mjpeg" in command else "storyboard"] = priority_of(int(proc.name))
        except (OSError, ValueError):
            continue
    return found


@needs_unsanitized_module
def test_a_job_puts_the_poster_first_at_the_lowest_priority_and_every_master_names_it(tmp_path, media_dir):
    source = make_source(media_dir / "pictures_job.mp4", seconds=6, size="320x180")
    out, events, niceness = tmp_path / "out", [], {}
    watching = threading.Event()

    def watch() -> None:
        while not watching.is_set():
            niceness.update(picture_children(source))
            time.sleep(0.005)

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        result = package_video(source, out, resolution=["360p"], publish_early=True,
                               on_picture=lambda name: events.append(name),
                               on_rendition=lambda name: events.append((out / "master.m3u8").read_text()))
    finally:
        watching.set()
        watcher.join()
    print(f"the pictures' children and their nice values: {niceness}")
    # The poster's session shares the CPU evenly for its second; the storyboard's is lowered.
    assert niceness in ({"poster": (19, 0), "storyboard": (19, 19)}, {"poster": (19, None), "storyboard": (19, None)})
    # The poster is told of, and in the package, before the first master, which names it.
    first_master = next(event for event in events if event.startswith("#EXTM3U"))
    assert events[0] == "poster.jpg" and 'DATA-ID="com.kestrava.poster",URI="poster.jpg"' in first_master
    assert (out / "master.m3u8").read_text().endswith(
        '#EXT-X-SESSION-DATA:DATA-ID="com.kestrava.poster",URI="poster.jpg"\n'
        '#EXT-X-SESSION-DATA:DATA-ID="com.kestrava.storyboard",URI="storyboard.vtt"\n')
    assert (result.pictures.poster, result.pictures.storyboard, result.pictures.sheets) == (
        str(out / "poster.jpg"), str(out / "storyboard.vtt"), [str(out / "storyboard_0.jpg")])
    assert_covers(out, sum(segment_durations(out / "360p.m3u8")), 1)
