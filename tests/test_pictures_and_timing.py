"""Pictures and timing as the source shows them: HDR phone video tone-mapped to SDR,
the colour description carried over, interlaced sources deinterlaced, and playlists
that list the media's true length."""

import pathlib
import re
import shutil
import subprocess

import pytest

from helpers import SANITIZED, job_360p
from kestrava_jobs import package_video
from media import (carries_all_audio, ffprobe, generate, make_source, playlist_input, psnr, segment_durations,
                   timeline)

SMALL = {"size": "160x120"}
HDR_TRANSFERS = {"hlg": "arib-std-b67", "pq": "smpte2084"}
# The CLI's usual HDR-to-SDR recipe: linear light, BT.709 primaries, hable, BT.709.
CLI_TONE_MAP = ("zscale=t=linear:npl=100,format=gbrpf32le,zscale=p=bt709,tonemap=tonemap=hable:desat=0,"
                "zscale=t=bt709:m=bt709:r=tv,format=yuv420p")
TAGS_709 = ("-colorspace", "bt709", "-color_primaries", "bt709", "-color_trc", "bt709")


def picture_stats(*input_args: str) -> dict[str, float]:
    """Mean over all pictures of signalstats' luma average, saturation average and luma peak."""
    result = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", *input_args, "-vf",
                             "signalstats,metadata=mode=print:file=-", "-f", "null", "-"],
                            check=True, capture_output=True, text=True).stdout
    stats = {}
    for key in ("YAVG", "SATAVG", "YMAX"):
        values = [float(v) for v in re.findall(rf"lavfi\.signalstats\.{key}=([0-9.]+)", result)]
        stats[key] = sum(values) / len(values)
    return stats


def interlaced_share(*input_args: str) -> float:
    """Share of pictures that ffmpeg's idet filter finds interlaced."""
    log = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", *input_args, "-vf", "idet",
                          "-f", "null", "-"], check=True, capture_output=True, text=True).stderr
    counts = re.search(r"Multi frame detection: TFF:\s*(\d+) BFF:\s*(\d+) Progressive:\s*(\d+) "
                       r"Undetermined:\s*(\d+)", log).groups()
    tff, bff, progressive, undetermined = map(int, counts)
    return (tff + bff) / (tff + bff + progressive + undetermined)


def bar_colours(*input_args: str) -> list[tuple[int, ...]]:
    """RGB at the middle of the seven top bars of the first picture, decoded as its tags say
    (with exact rounding: swscale's fast path is 2 levels off on its own)."""
    raw = subprocess.run(["ffmpeg", "-v", "error", *input_args, "-frames:v", "1", "-vf",
                          "scale=70:30:flags=accurate_rnd+full_chroma_int",
                          "-pix_fmt", "rgb24", "-f", "rawvideo", "-"], check=True, capture_output=True).stdout
    return [tuple(raw[(8 * 70 + x) * 3:(8 * 70 + x) * 3 + 3]) for x in range(5, 70, 10)]


@pytest.fixture(scope="session")
def sdr_bars(media_dir) -> pathlib.Path:
    return generate(media_dir / "bars_sdr.mp4", "-f", "lavfi", "-i", "smptehdbars=size=640x360:rate=30:duration=2",
                    "-vf", "format=yuv420p", "-c:v", "libx264", "-preset", "ultrafast", *TAGS_709)


@pytest.mark.parametrize("kind", list(HDR_TRANSFERS))
def test_hdr_phone_video_is_tone_mapped_to_sdr(tmp_path, media_dir, sdr_bars, kind):
    """The same bars as 10-bit HEVC with BT.2020 primaries and an HDR transfer, as phones record."""
    transfer = HDR_TRANSFERS[kind]
    source = generate(
        media_dir / f"bars_{kind}.mp4", "-f", "lavfi", "-i", "smptehdbars=size=640x360:rate=30:duration=2", "-vf",
        f"zscale=tin=bt709:min=bt709:pin=bt709:rin=tv:t={transfer}:m=bt2020nc:p=bt2020:r=tv:npl=203,"
        "format=yuv420p10le", "-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error",
        "-colorspace", "bt2020nc", "-color_primaries", "bt2020", "-color_trc", transfer)
    playlist = job_360p(tmp_path, source)
    ours, sdr = picture_stats(*playlist_input(playlist)), picture_stats("-i", str(sdr_bars))
    measured = psnr(playlist, source, f"scale=640:360,{CLI_TONE_MAP}", tmp_path)
    video = ffprobe("-select_streams", "v:0", "-show_streams", *playlist_input(playlist))["streams"][0]
    print(f"{kind}: {ours} against SDR {sdr}; {measured:.1f} dB against the CLI's tone mapping")
    assert ours["SATAVG"] >= 0.5 * sdr["SATAVG"]
    assert 0.6 * sdr["YAVG"] <= ours["YAVG"] <= 1.25 * sdr["YAVG"]
    assert measured >= 45
    assert (video["color_space"], video["color_primaries"], video["color_transfer"]) == ("bt709",) * 3


@pytest.mark.parametrize("size, matrix, codec", [("1280x720", "bt709", "libx264"), ("640x360", "smpte170m", "libx264"),
                                                 ("640x360", "smpte170m", "libx264rgb")])
def test_colour_description_is_carried_over(tmp_path, media_dir, size, matrix, codec):
    """75% bars made with the size's usual matrix and tagged so, as cameras and phones do; and
    as RGB (a screen recording), which the rendition turns into YUV with BT.601's matrix."""
    rgb = codec == "libx264rgb"
    to_yuv = f",scale=out_color_matrix={'bt601' if matrix == 'smpte170m' else matrix}:out_range=tv,format=yuv420p"
    source = generate(media_dir / f"bars_{matrix}_{codec}.mp4", "-f", "lavfi", "-i",
                      f"smptebars=size={size}:rate=30:duration=2", "-vf", "format=rgb24" + ("" if rgb else to_yuv),
                      "-c:v", codec, "-preset", "ultrafast", "-colorspace", "rgb" if rgb else matrix,
                      "-color_primaries", matrix, "-color_trc", matrix)
    playlist = job_360p(tmp_path, source)
    ours, theirs = bar_colours(*playlist_input(playlist)), bar_colours("-i", str(source))
    print(f"{matrix} {codec}: bars {ours}, source {theirs}")
    # An RGB source's bars are exact, and so must they come out.
    assert max(abs(a - b) for bar, wanted in zip(ours, theirs) for a, b in zip(bar, wanted)) <= (1 if rgb else 10)
    video = ffprobe("-select_streams", "v:0", "-show_streams", *playlist_input(playlist))["streams"][0]
    assert (video["color_space"], video["color_primaries"], video["color_transfer"]) == (matrix,) * 3


@pytest.mark.parametrize("lines, container, after_bars", [(360, "mkv", False), (720, "ts", False), (360, "ts", True)])
def test_interlaced_sources_are_deinterlaced(tmp_path, media_dir, lines, container, after_bars):
    """A white bar racing across a dimmed test pattern, shot as top-field-first interlaced video
    with sound, in Matroska (1/1000 s stamps) and broadcast MPEG-TS (1/90000 s); and a second of
    it glued after a second of progressive bars (an interlaced clip cut into a progressive one)."""
    size, seconds = f"{lines * 16 // 9}x{lines}", 1 if after_bars else 2
    source = generate(
        media_dir / f"interlaced_{lines}{'_after_bars' if after_bars else ''}.{container}",
        "-f", "lavfi", "-i", f"testsrc2=size={size}:rate=60:duration={seconds}",
        "-f", "lavfi", "-i", f"color=white:size=12x{lines}:rate=60",
        "-f", "lavfi", "-i", f"sine=frequency=440:sample_rate=48000:duration={seconds}", "-filter_complex",
        "[0]lutyuv=y=val*0.5[dim];[dim][1]overlay=x='mod(t*1200,600)':y=0:shortest=1,"
        "interlace=scan=tff:lowpass=off,format=yuv420p",
        "-c:v", "libx264", "-preset", "ultrafast", "-flags", "+ildct+ilme", "-x264-params", "tff=1",
        # Its clock goes on from the bars' end: their video starts one AAC priming (1024 samples) late.
        "-c:a", "aac", *(("-output_ts_offset", str(1 + 1024 / 48000)) if after_bars else ()))
    if after_bars:
        # smptebars, which idet reads as progressive (it reads testsrc2 as top field first).
        bars = make_source(media_dir / f"progressive_bars_{lines}.ts", seconds=1, size=size, picture="smptebars")
        source.write_bytes(bars.read_bytes() + source.read_bytes())
    if SANITIZED:
        # The job's child would load the module without the sanitizer's runtime.
        playlist = job_360p(tmp_path, source)
    else:
        result = package_video(source, tmp_path / "pkg", resolution=["360p"])
        playlist = tmp_path / "pkg" / "360p.m3u8"
        shutil.copy(result.key_file, playlist.with_name("enc.key"))
    share, peak = interlaced_share(*playlist_input(playlist)), picture_stats(*playlist_input(playlist))["YMAX"]
    spans = timeline(playlist)
    media = float(ffprobe("-show_entries", "format=duration", str(source))["format"]["duration"])
    print(f"{lines} lines: {share:.0%} interlaced, peak luma {peak:.0f}; {spans}; EXTINF {segment_durations(playlist)}")
    assert share <= 0.1
    assert peak >= 180
    video, audio = spans["video"], spans["audio"]
    assert video["end"] - video["first"] == pytest.approx(2, abs=1 / 30)
    assert video["first"] == pytest.approx(audio["first"], abs=0.1)
    assert sum(segment_durations(playlist)) == pytest.approx(media, abs=1 / 30)


@pytest.mark.parametrize("name, seconds, rate, extra", [
    ("23.976fps", 3, "24000/1001", ()),
    ("25fps", 3, "25", ()),
    ("slides_1fps", 8, "1", ()),
    # Pictures for 2.5 s, a still screen for 5 s (no pictures), then 0.5 s more.
    ("pause_5s", 8, "30", ("-vf", "select='not(between(t,2.5,7.49))'", "-fps_mode", "passthrough")),
])
def test_playlist_lists_the_true_length(tmp_path, media_dir, name, seconds, rate, extra):
    source = make_source(media_dir / f"timing_{name}.mp4", seconds=seconds, rate=rate, extra=extra, **SMALL)
    playlist = job_360p(tmp_path, source)
    durations = segment_durations(playlist)
    target = int(re.search(r"#EXT-X-TARGETDURATION:(\d+)", playlist.read_text()).group(1))
    media = float(ffprobe("-show_entries", "format=duration", str(source))["format"]["duration"])
    print(f"{name}: EXTINF {durations}, target {target}, media {media:.3f} s")
    assert sum(durations) == pytest.approx(media, abs=0.1)
    assert all(target >= round(d) for d in durations)


def test_sound_after_the_last_picture_is_listed(tmp_path, media_dir):
    """3 s of video over 10 s of sound: an intro clip over a talk."""
    source = generate(media_dir / "short_video_long_audio.mp4", "-f", "lavfi", "-i",
                      "testsrc2=size=160x120:rate=30:duration=3", "-f", "lavfi", "-i",
                      "sine=frequency=440:sample_rate=48000:duration=10", "-c:v", "libx264", "-preset", "ultrafast",
                      "-pix_fmt", "yuv420p", "-c:a", "aac")
    playlist = job_360p(tmp_path, source)
    print(f"EXTINF {segment_durations(playlist)}")
    assert sum(segment_durations(playlist)) >= 9.9
    assert carries_all_audio(playlist, source)
