"""Caption renditions: text subtitle tracks and sidecar files as WebVTT cut where the video
is, on the renditions' clock; what is left out and why; what is refused before any work."""

import pathlib
import re
import shutil
import struct
import subprocess
import sys

import pytest
from helpers import needs_unsanitized_module
from media import decrypt_segment, ffprobe, generate, loudest_frequency, segment_durations

from kestrava_jobs import PackageResult, package_video
from kestrava_jobs.captions.job_captions import JobCaptions
from kestrava_jobs.captions.renditions import check_caption, media_group
from kestrava_jobs.captions.sidecars import Sidecar, check_sidecars
from kestrava_jobs.captions.timeline import measured_timeline
from kestrava_jobs.captions.tracks import plan_captions
from kestrava_jobs.cluster import rendition_record, spread
from kestrava_jobs.cluster.confine import confine
from kestrava_jobs.cluster.spread import finish
from kestrava_jobs.cluster.spread_captions import StagedCaptions, stage_captions
from kestrava_jobs.common.deadline import Deadline
from kestrava_jobs.common.result import LeftOutAudio
from kestrava_jobs.job.request import JobOptions, check_request, plan_job
from kestrava_jobs.source.probe import probe_source
from kestrava_jobs.storage.folder import JobFolder
from kestrava_jobs.storage.keys import read_key_info
from kestrava_jobs.storage.staging import FolderStaging

pytestmark = needs_unsanitized_module

ENGLISH = "1\n00:00:00,500 --> 00:00:01,500\nHello <i>there</i> & a < b\n\n" \
          "2\n00:00:05,500 --> 00:00:06,800\nAcross the cut\n"
PORTUGUESE_ASS = """[Script Info]
ScriptType: v4.00+

[V4+ Styles]
Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, Italic, \
Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, \
MarginV, Encoding
Style: Default,Arial,20,&H00FFFFFF,&H000000FF,&H00000000,&H00000000,0,0,0,0,100,100,0,0,1,2,2,2,10,10,10,1

[Events]
Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text
Dialogue: 0,0:00:02.00,0:00:03.00,Default,,0,0,0,,{\\pos(10,10)\\i1}Inclinado{\\i0} e {\\b1}forte{\\b0} {\\k20}sim
Dialogue: 0,0:00:03.00,0:00:04.00,Default,,0,0,0,,{\\p1}m 0 0 l 100 0 100 100{\\p0}
"""


def pgs(path: pathlib.Path) -> pathlib.Path:
    """A bitmap (PGS) subtitle stream of two empty pictures."""
    def segment(pts: int, kind: int, data: bytes) -> bytes:
        return b"PG" + struct.pack(">II", pts, 0) + bytes([kind]) + struct.pack(">H", len(data)) + data
    composition = struct.pack(">HHBHBBBB", 320, 240, 0x10, 0, 0x80, 0, 0, 0)
    path.write_bytes(b"".join(segment(pts, kind, data) for pts in (90_000, 180_000)
                              for kind, data in ((0x16, composition), (0x80, b""))))
    return path


@pytest.fixture(scope="session")
def subtitled(media_dir) -> pathlib.Path:
    """8 s of Matroska whose clock starts at 10 s: English SubRip (default), Portuguese ASS
    (default too, forced, titled), a PGS track; a French sound (600 Hz), then the default one
    (440 Hz)."""
    (media_dir / "en.srt").write_text(ENGLISH)
    (media_dir / "pt.ass").write_text(PORTUGUESE_ASS)
    return generate(media_dir / "subtitled.mkv", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=30:duration=8",
                    "-f", "lavfi", "-i", "sine=frequency=600:duration=8", "-i", str(media_dir / "en.srt"),
                    "-i", str(media_dir / "pt.ass"), "-i", str(pgs(media_dir / "bitmap.sup")),
                    "-f", "lavfi", "-i", "sine=duration=8",
                    "-map", "0", "-map", "1", "-map", "2", "-map", "3", "-map", "4", "-map", "5", "-c:v", "libx264",
                    "-preset", "ultrafast", "-c:a", "aac", "-metadata:s:a:0", "language=fre",
                    "-metadata:s:a:0", "title=Français", "-disposition:a:0", "0", "-disposition:a:1", "default",
                    "-c:s:0", "srt", "-c:s:1", "ass", "-c:s:2", "copy",
                    "-metadata:s:s:0", "language=eng", "-metadata:s:s:1", "language=por",
                    "-metadata:s:s:1", "title=Português", "-disposition:s:0", "default",
                    "-disposition:s:1", "default+forced", "-disposition:s:2", "0", "-output_ts_offset", "10")


def cues(vtt: pathlib.Path) -> list[tuple[str, str, str]]:
    return re.findall(r"^([\d:.]+) --> ([\d:.]+)\n(.*?)\n\n", vtt.read_text(), flags=re.M | re.S)


def seconds(stamp: str) -> float:
    hours, minutes, rest = stamp.split(":")
    return int(hours) * 3600 + int(minutes) * 60 + float(rest)


def first_segment(out: pathlib.Path, key_file: str, name: str) -> pathlib.Path:
    """The rendition's first segment, decrypted."""
    iv = out.joinpath(f"{name}.m3u8").read_text().split("IV=0x")[1][:32]
    return decrypt_segment(out / f"{name}_000.ts", pathlib.Path(key_file).read_bytes(), iv, out.parent / "clear.ts")


def first_stamp(out: pathlib.Path, key_file: str, name: str) -> int:
    """The earliest MPEG-TS stamp of the rendition's first segment, as ffprobe reads it."""
    streams = ffprobe("-show_entries", "stream=start_pts", str(first_segment(out, key_file, name)))["streams"]
    return min(int(stream["start_pts"]) for stream in streams)


@pytest.fixture(scope="module")
def sidecars(tmp_path_factory) -> dict[str, pathlib.Path]:
    folder = tmp_path_factory.mktemp("sidecars")
    (folder / "de.srt").write_bytes("1\n00:00:01,000 --> 00:00:02,000\nCafé crème\n\n"
                                    "2\n00:00:07,500 --> 00:00:09,000\nBis bald\n\n"
                                    "3\n00:00:20,000 --> 00:00:21,000\nNie\n".encode("latin-1"))
    (folder / "fr.srt").write_bytes("\ufeff1\n00:00:01,000 --> 00:00:02,000\nÇa va\n".encode("utf-16-le"))
    (folder / "it.vtt").write_bytes("\ufeffWEBVTT\n\n00:00:03.000 --> 00:00:04.000\nPerché\n".encode())
    (folder / "broken.srt").write_text("no cue here\nat all\n")
    (folder / "gb.srt").write_text("1\n00:00:01,000 --> 00:00:02,000\nturn left --> then right\n")
    return {"de": folder / "de.srt", "fr": folder / "fr.srt", "it": folder / "it.vtt", "es": folder / "broken.srt",
            "en-GB": folder / "gb.srt"}


@pytest.fixture(scope="module")
def captioned(tmp_path_factory, subtitled, sidecars) -> PackageResult:
    return package_video(subtitled, tmp_path_factory.mktemp("captioned") / "out", resolution=["360p"],
                         charset="latin-1", captions=sidecars)


def test_tracks_and_sidecars_become_renditions_cut_as_the_video(captioned, subtitled, sidecars):
    result, out = captioned, pathlib.Path(captioned.out_dir)
    made = {caption.playlist: caption for caption in result.captions if caption.playlist}
    assert sorted(made) == ["subs_de.m3u8", "subs_en-GB.m3u8", "subs_en.m3u8", "subs_fr.m3u8", "subs_it.m3u8",
                            "subs_pt.m3u8"]
    # The sound the renditions carry, the default one (440 Hz), and the one they do not (French, 600 Hz).
    assert loudest_frequency("-i", str(first_segment(out, result.key_file, "360p"))) == pytest.approx(440, abs=2)
    assert result.audio_left_out == [LeftOutAudio(1, "fre", "Français")]
    skipped = {(caption.origin, caption.language): caption.skipped for caption in result.captions
               if not caption.playlist}
    assert skipped == {("stream 4 (hdmv_pgs_subtitle)", ""):
                       "a bitmap subtitle (hdmv_pgs_subtitle): only text becomes WebVTT",
                       (str(sidecars["es"]), "es"): "its cues do not parse (FormatAutodetectionError: No suitable "
                                                    "formats)"}
    media = [line for line in (out / "master.m3u8").read_text().splitlines() if line.startswith("#EXT-X-MEDIA")]
    assert media == [
        '#EXT-X-MEDIA:URI="subs_en.m3u8",TYPE=SUBTITLES,GROUP-ID="subs",LANGUAGE="en",NAME="English",DEFAULT=YES,'
        'AUTOSELECT=YES',
        '#EXT-X-MEDIA:URI="subs_pt.m3u8",TYPE=SUBTITLES,GROUP-ID="subs",LANGUAGE="pt",NAME="Português",DEFAULT=NO,'
        'AUTOSELECT=YES,FORCED=YES',
        '#EXT-X-MEDIA:URI="subs_de.m3u8",TYPE=SUBTITLES,GROUP-ID="subs",LANGUAGE="de",NAME="German",DEFAULT=NO,'
        'AUTOSELECT=YES',
        '#EXT-X-MEDIA:URI="subs_fr.m3u8",TYPE=SUBTITLES,GROUP-ID="subs",LANGUAGE="fr",NAME="French",DEFAULT=NO,'
        'AUTOSELECT=YES',
        '#EXT-X-MEDIA:URI="subs_it.m3u8",TYPE=SUBTITLES,GROUP-ID="subs",LANGUAGE="it",NAME="Italian",DEFAULT=NO,'
        'AUTOSELECT=YES',
        # A second track of one name is told apart.
        '#EXT-X-MEDIA:URI="subs_en-GB.m3u8",TYPE=SUBTITLES,GROUP-ID="subs",LANGUAGE="en-GB",NAME="English 2",'
        'DEFAULT=NO,AUTOSELECT=YES']
    assert (out / "master.m3u8").read_text().count('SUBTITLES="subs"') == 1
    # Cut where the video is, every segment on the renditions' clock as measured.
    video = segment_durations(out / "360p.m3u8")
    stamp = f"X-TIMESTAMP-MAP=MPEGTS:{first_stamp(out, result.key_file, '360p')},LOCAL:00:00:00.000"
    for playlist in made:
        assert segment_durations(out / playlist) == pytest.approx(video, abs=1e-6)
        for number in range(len(video)):
            assert (out / f"{playlist[:-5]}_{number:03d}.vtt").read_text().splitlines()[:2] == ["WEBVTT", stamp]
    # On the module's clock, which starts at the earlier of the first video and audio stamps.
    streams = ffprobe("-show_entries", "stream=codec_type,start_time", str(subtitled))["streams"]
    origin = min(float(stream["start_time"]) for stream in streams if stream["codec_type"] in ("video", "audio"))
    stored = ffprobe("-select_streams", "s:0", "-show_entries", "packet=pts_time,duration_time", str(subtitled))
    times = [edge for p in stored["packets"]
             for edge in (float(p["pts_time"]) - origin, float(p["pts_time"]) + float(p["duration_time"]) - origin)]
    # FFmpeg pulls a stream out as SubStation, whose times are in hundredths of a second.
    assert [seconds(edge) for start, end, _ in cues(out / "subs_en_000.vtt") for edge in (start, end)] == \
        pytest.approx(times, abs=0.006)
    assert [text for *_, text in cues(out / "subs_en_000.vtt")] == ["Hello <i>there</i> &amp; a &lt; b",
                                                                    "Across the cut"]
    assert cues(out / "subs_en_001.vtt") == cues(out / "subs_en_000.vtt")[1:], "a cue across the cut is in both"
    assert [text for *_, text in cues(out / "subs_pt_000.vtt")] == ["<i>Inclinado</i> e <b>forte</b> sim"]
    # Within the media's length: a cue past its end ends with it; one after it is gone.
    end = sum(video)
    assert [cues(out / f"subs_de_{number:03d}.vtt") for number in range(2)] == [
        [("00:00:01.000", "00:00:02.000", "Café crème")], [("00:00:07.500", f"00:00:0{end:.3f}", "Bis bald")]]
    assert cues(out / "subs_pt_001.vtt") == [], "a segment without a cue is still written"
    assert (cues(out / "subs_fr_000.vtt"), cues(out / "subs_it_000.vtt")) == (
        [("00:00:01.000", "00:00:02.000", "Ça va")], [("00:00:03.000", "00:00:04.000", "Perché")])
    # A cue's own "-->" is no timing line: it stays one cue.
    assert cues(out / "subs_en-GB_000.vtt") == [("00:00:01.000", "00:00:02.000", "turn left --&gt; then right")]


@pytest.mark.parametrize("file, spoil, reason", [
    ("subs_en.m3u8", lambda text: text.replace("subs_en_001.vtt\n", "", 1).replace("#EXTINF:2", "", 1),
     "subs_en is not cut as the video is: 1 segments against 2"),
    ("subs_en.m3u8", lambda text: re.sub(r"#EXTINF:[0-9.]+", "#EXTINF:5.9", text, count=1),
     "subs_en is not cut as the video is: 2 segments against 2"),
    ("subs_en_000.vtt", lambda text: text.replace("X-TIMESTAMP-MAP=MPEGTS:", "X-TIMESTAMP-MAP=MPEGTS:9"),
     "subs_en_000.vtt does not start as a WebVTT segment on the renditions' clock"),
    ("subs_en_001.vtt", lambda text: text.replace("00:00:06.", "00:00:09."), "subs_en_001.vtt has cues outside"),
], ids=["a-segment-short", "cut-elsewhere", "another-clock", "cue-past-the-end"])
def test_the_check_finds_a_caption_rendition_unlike_the_video(tmp_path, captioned, file, spoil, reason):
    package = JobFolder(shutil.copytree(captioned.out_dir, tmp_path / "out"))
    key = read_key_info(pathlib.Path(captioned.key_file).with_suffix(".keyinfo"))
    timeline = measured_timeline(package, "360p", key, Deadline(None))
    assert check_caption(package, "subs_en", timeline) is None
    (package.path / file).write_text(spoil((package.path / file).read_text()))
    assert check_caption(package, "subs_en", timeline).startswith(reason)


def test_captions_that_cannot_be_made_leave_the_video_be(tmp_path, captioned, sidecars):
    package = JobFolder(shutil.copytree(captioned.out_dir, tmp_path / "out"))
    (package.path / "360p_000.ts").write_bytes(bytes(32))  # the timeline's segment, spoilt after its check
    streams = probe_source(str(captioned.source), Deadline(None)).streams
    plan = plan_captions(streams, [Sidecar("de", str(sidecars["it"]), "WEBVTT\n\n")])
    key = read_key_info(pathlib.Path(captioned.key_file).with_suffix(".keyinfo"))
    captions = JobCaptions(str(captioned.source), plan, key, Deadline(None))
    try:
        assert media_group(captions.for_master(package, "360p")) == ()
    finally:
        captions.close()
    assert [caption.skipped.split(" (")[0] for caption in captions.results] == ["the captions could not be made"] * 4
    # A spread job's masters write them the same way: left out, the video's package as it is.
    (tmp_path / "staging").mkdir()
    stage_captions(FolderStaging(tmp_path / "staging"), str(captioned.source), plan, Deadline(None))
    staged = StagedCaptions(FolderStaging(tmp_path / "staging"), key, Deadline(None)).for_master(package, "360p")
    assert [caption.skipped.split(" (")[0] for caption in staged] == ["the captions could not be made"] * 4


def test_a_forced_mov_text_track_is_listed_from_the_first_early_master_on(tmp_path, media_dir):
    (media_dir / "fr.srt").write_text("1\n00:00:00,200 --> 00:00:01,000\n<i>Bonjour</i>\n")
    source = generate(media_dir / "mov_text.mp4", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=30:duration=2",
                      "-f", "lavfi", "-i", "sine=duration=2", "-i", str(media_dir / "fr.srt"), "-map", "0", "-map", "1",
                      "-map", "2", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac", "-c:s", "mov_text",
                      "-metadata:s:s:0", "language=fre", "-disposition:s:0", "default+forced")
    out, first = tmp_path / "out", []
    result = package_video(source, out, resolution=["480p", "360p"], publish_early=True,
                           on_rendition=lambda _: None if first else first.append((out / "master.m3u8").read_text()))
    assert "360p.m3u8" in first[0] and "480p.m3u8" not in first[0], "the early master, before 480p is made"
    assert '#EXT-X-MEDIA:URI="subs_fr.m3u8",TYPE=SUBTITLES,GROUP-ID="subs",LANGUAGE="fr",NAME="French (forced)",' \
           'DEFAULT=YES,AUTOSELECT=YES,FORCED=YES' in first[0].splitlines()
    made = [(caption.playlist, caption.forced, caption.cues) for caption in result.captions]
    assert made == [("subs_fr.m3u8", True, 1)]
    assert cues(out / "subs_fr_000.vtt")[0][2] == "<i>Bonjour</i>"


@pytest.mark.parametrize("content, options, error", [
    (bytes(range(256)) * 40, {}, "binary data, not a subtitle file"),
    (b"1\n00:00:01,000 --> 00:00:02,000\n" + b"x" * (10 * 1024 * 1024), {}, "over 10 MB"),
    ("1\n00:00:01,000 --> 00:00:02,000\nCafé\n".encode("latin-1"), {}, "not utf-8 text; name its encoding"),
    ("1\n00:00:01,000 --> 00:00:02,000\nOK\n".encode("utf-16"), {"language": "en US"}, "is not a language tag"),
], ids=["binary", "oversized", "legacy-encoding", "bad-language"])
def test_a_sidecar_that_is_no_subtitle_file_is_refused_before_any_work(tmp_path, subtitled, content, options, error):
    sidecar = tmp_path / "upload.srt"
    sidecar.write_bytes(content)
    with pytest.raises(ValueError, match=error):
        package_video(subtitled, tmp_path / "out", captions={options.get("language", "en"): sidecar})
    assert sorted(path.name for path in tmp_path.iterdir()) == ["upload.srt"]


def test_a_sidecar_without_its_bom_is_read_in_the_charset_named_for_it(tmp_path):
    text = "1\n00:00:01,000 --> 00:00:02,000\nこんにちは\n"
    (tmp_path / "ja.srt").write_bytes(text.encode("utf-16-le"))
    assert check_sidecars({"ja": tmp_path / "ja.srt"}, "utf-16-le")[0].text == text
    with pytest.raises(ValueError, match="binary data, not a subtitle file"):  # its NUL bytes, when no charset is named
        check_sidecars({"ja": tmp_path / "ja.srt"}, None)


def test_caption_files_come_from_the_command_and_from_messages_only_as_sources_do(tmp_path, subtitled, sidecars,
                                                                                   monkeypatch):
    # A line for each track made; one on stderr for each left out, and one for the sound left out.
    run = subprocess.run([sys.executable, "-m", "kestrava_jobs", str(subtitled), str(tmp_path / "made"), "--resolution",
                          "360p", "--captions", f"es={sidecars['es']}", "--no-poster", "--no-storyboard"],
                         capture_output=True, text=True, timeout=60)
    assert [line for line in run.stdout.splitlines() if line.startswith("captions")] == [
        "captions: subs_en.m3u8, English (en), 2 cues", "captions: subs_pt.m3u8, Português (pt), 1 cue"]
    assert [line.split(" left out")[0] for line in run.stderr.splitlines()] == [
        f"{subtitled}: captions of stream 4 (hdmv_pgs_subtitle)", f"{subtitled}: captions of {sidecars['es']} (es)",
        f"{subtitled}: audio"] and run.stderr.endswith(": stream 1 (fre) (Français)\n")
    (tmp_path / "binary.srt").write_bytes(bytes(1000))
    run = subprocess.run([sys.executable, "-m", "kestrava_jobs", str(subtitled), str(tmp_path / "out"),
                          "--captions", f"de={tmp_path / 'binary.srt'}"], capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stderr) == (1, f"{subtitled}: {tmp_path / 'binary.srt'}: binary data, not a subtitle "
                                               "file\n")
    monkeypatch.setenv("KESTRAVA_SOURCE_ROOTS", str(subtitled.parent))
    monkeypatch.setenv("KESTRAVA_OUTPUT_ROOT", str(tmp_path))
    with pytest.raises(ValueError, match="the caption file is not under KESTRAVA_SOURCE_ROOTS"):
        confine(str(subtitled), str(tmp_path / "out"), {"captions": {"de": "/etc/passwd"}})
    assert confine(str(subtitled), str(tmp_path / "out"), {"captions": {"en": str(subtitled.parent / "en.srt")}})[2] \
        == {"captions": {"en": str(subtitled.parent / "en.srt")}}


def test_a_spread_job_makes_its_captions_once_as_package_video_does(tmp_path, captioned, subtitled, sidecars):
    """Parsed by the submit step into the staging area, written with the first master (here
    an early one, as a rendition task writes it) and listed again by the end's."""
    options = JobOptions(resolution=["360p"], captions=sidecars, charset="latin-1", publish_early=True,
                         key_info=pathlib.Path(captioned.key_file).with_suffix(".keyinfo"))
    request = check_request(subtitled, tmp_path / "out", options, job_id="spread-job")
    job = spread.start(request, plan_job(request), lambda job_id: False)
    for file in pathlib.Path(captioned.out_dir).glob("360p*"):  # the rendition, as its task puts it in
        shutil.copy(file, job.folder.path)
    rendition_record.write_made(job.staging, captioned.renditions["360p"],
                                rendition_record.digests(job.folder, "360p"))
    expected = [line for line in pathlib.Path(captioned.master).read_text().splitlines()
                if line.startswith("#EXT-X-MEDIA")]
    assert spread.publish(job) == ["360p"]
    early = (job.folder.path / "master.m3u8").read_text()
    assert [line for line in early.splitlines() if line.startswith("#EXT-X-MEDIA")] == expected
    written = (job.folder.path / "subs_en_000.vtt").stat().st_ino
    result = finish(job)
    assert (job.folder.path / "subs_en_000.vtt").stat().st_ino == written, "made once, by the first master"
    assert (result.captions, result.audio_left_out) == (captioned.captions, captioned.audio_left_out)
    master = (job.folder.path / "master.m3u8").read_text()
    assert [line for line in master.splitlines() if line.startswith("#EXT-X-MEDIA")] == expected
    for playlist in ("subs_en", "subs_pt", "subs_de", "subs_fr", "subs_it"):
        assert (job.folder.path / f"{playlist}_000.vtt").read_bytes() == \
            (pathlib.Path(captioned.out_dir) / f"{playlist}_000.vtt").read_bytes()
