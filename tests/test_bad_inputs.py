"""Whatever users upload: every call returns None, the interpreter survives, and
exactly the specified files are left on disk.

Each call runs in its own interpreter so that a crash fails one case, not the suite.
"""

import json
import pathlib
import random
import subprocess
import sys

import pytest

from media import ffprobe, make_source, playlist_input, python_env, write_key_info

CALL = "import json, sys, kestrava; print(repr(kestrava.hls_encoder(*json.loads(sys.argv[1]))))"


def call_isolated(cwd: pathlib.Path, *args, timeout: float = 120) -> None:
    """Runs hls_encoder in a fresh interpreter; it must return None and exit cleanly."""
    cwd.mkdir(parents=True, exist_ok=True)
    result = subprocess.run([sys.executable, "-c", CALL, json.dumps(args)], cwd=cwd,
                            capture_output=True, text=True, timeout=timeout, env=python_env())
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stderr[-3000:]}"
    assert result.stdout.strip() == "None"


def files(folder: pathlib.Path) -> list[str]:
    return sorted(p.name for p in folder.iterdir() if p.name not in ("enc.key", "enc.keyinfo"))


def finished_renditions(folder: pathlib.Path) -> list[str]:
    return sorted(p.stem for p in folder.glob("*.m3u8")
                  if p.name != "master.m3u8" and p.read_text().rstrip().endswith("#EXT-X-ENDLIST"))


@pytest.fixture(scope="session")
def valid(media_dir) -> pathlib.Path:
    return make_source(media_dir / "corpus_valid.mp4", seconds=3, size="160x120")


@pytest.fixture(scope="session")
def valid_faststart(media_dir) -> pathlib.Path:
    """Index (moov) at the front, as web uploads usually have it."""
    return make_source(media_dir / "corpus_faststart.mp4", seconds=3, size="160x120",
                       extra=("-movflags", "+faststart"))


@pytest.fixture
def job(tmp_path):
    write_key_info(tmp_path)
    return tmp_path


def test_unopenable_sources_write_nothing(job, media_dir, valid, audio_only):
    """Zero bytes, random bytes, an MP4 whose index was never reached, a folder, audio only."""
    empty = media_dir / "empty.mp4"
    empty.write_bytes(b"")
    noise = media_dir / "noise.mp4"
    noise.write_bytes(random.Random(7).randbytes(200_000))
    no_index = media_dir / "no_index.mp4"  # moov is written last: cut before it
    no_index.write_bytes(valid.read_bytes()[: valid.stat().st_size // 2])
    for source in [empty, noise, no_index, media_dir, audio_only, media_dir / "absent.mp4"]:
        call_isolated(job, str(source), "master.m3u8", ["360p"])
        assert files(job) == [], source.name


@pytest.mark.parametrize("cut", ["mp4_middle", "ts_mid_packet"])
def test_truncated_sources_finish_with_what_was_read(job, media_dir, valid_faststart, cut):
    if cut == "mp4_middle":
        source = media_dir / "truncated.mp4"
        data = valid_faststart.read_bytes()
        source.write_bytes(data[: len(data) // 2])
    else:
        whole = make_source(media_dir / "corpus.ts", seconds=3, size="160x120")
        source = media_dir / "truncated.ts"
        source.write_bytes(whole.read_bytes()[: 188 * 700 + 77])
    call_isolated(job, str(source), "master.m3u8", ["360p"])
    assert finished_renditions(job) == ["360p"]
    frames = ffprobe("-count_frames", "-select_streams", "v:0", "-show_entries", "stream=nb_read_frames",
                     *playlist_input(job / "360p.m3u8"))["streams"][0]["nb_read_frames"]
    assert 10 <= int(frames) < 90


def test_index_without_media_data(job, media_dir, valid_faststart):
    """Cut just after the index: the video's pixel format is never learnt. (Found by the
    fuzzer: building a scaler for an unknown pixel format aborted the whole process.)"""
    data = valid_faststart.read_bytes()
    source = media_dir / "index_only.mp4"
    source.write_bytes(data[: data.find(b"mdat") + 16])
    video = ffprobe("-show_streams", "-select_streams", "v", str(source))["streams"][0]
    assert video.get("pix_fmt", "unknown") == "unknown"
    call_isolated(job, str(source), "master.m3u8", ["360p"])
    # No pictures at all: the rendition is finished with what there was.
    assert finished_renditions(job) == ["360p"]


def test_flipped_bytes_after_the_header(job, media_dir, valid_faststart):
    data = bytearray(valid_faststart.read_bytes())
    start = data.find(b"mdat") + 64
    rng = random.Random(11)
    for position in rng.sample(range(start, len(data)), (len(data) - start) // 100):
        data[position] ^= 1 << rng.randrange(8)
    source = media_dir / "flipped.mp4"
    source.write_bytes(bytes(data))
    call_isolated(job, str(source), "master.m3u8", ["360p"])
    # Damaged packets are skipped by the decoders; the rendition still finishes.
    assert finished_renditions(job) == ["360p"]


def test_video_only_source_finishes(job, video_only):
    call_isolated(job, str(video_only), "master.m3u8", ["360p"])
    assert finished_renditions(job) == ["360p"]


@pytest.mark.parametrize("problem", ["missing_info", "missing_key", "short_key", "long_key"])
def test_key_info_problems(job, valid, problem):
    info = job / "enc.keyinfo"
    if problem == "missing_info":
        info.unlink()
    elif problem == "missing_key":
        info.write_text(f"enc.key\n{job / 'absent.key'}\n")
    else:
        (job / "enc.key").write_bytes(b"k" * (8 if problem == "short_key" else 32))
    call_isolated(job, str(valid), "master.m3u8", ["360p"])
    if problem == "long_key":
        # The muxer reads the first 16 bytes of the key file.
        assert finished_renditions(job) == ["360p"]
    else:
        assert files(job) == ["master.m3u8"]


def test_unwritable_working_directory(tmp_path, valid):
    """Nothing can be created in /proc, not even by root; the master goes elsewhere."""
    write_key_info(tmp_path)
    call_isolated(pathlib.Path("/proc"), str(valid), str(tmp_path / "master.m3u8"), ["360p"], [400000],
                  str(tmp_path / "enc.keyinfo"))
    assert files(tmp_path) == ["master.m3u8"]
    assert not pathlib.Path("/proc/360p.m3u8").exists()


def test_zero_and_negative_bit_rates(job, valid):
    call_isolated(job, str(valid), "master.m3u8", ["360p", "480p"], [0, -400000])
    master = (job / "master.m3u8").read_text()
    assert "BANDWIDTH=0,RESOLUTION=640x360" in master and "BANDWIDTH=-400000,RESOLUTION=854x480" in master
    # x264 takes 0 as "no target" (constant quality) and refuses a negative rate.
    assert finished_renditions(job) == ["360p"]
    assert not (job / "480p.m3u8").exists()


def test_sixteen_names_with_repeats_start_one_worker_per_name(job, valid):
    names = ["360p", "480p", "360p", "720P", "480p"] * 3 + ["360p"]
    call_isolated(job, str(valid), "master.m3u8", names, list(range(100000, 1700000, 100000)))
    assert (job / "master.m3u8").read_text().splitlines()[2:] == [
        "#EXT-X-STREAM-INF:BANDWIDTH=100000,RESOLUTION=640x360", "360p.m3u8",
        "#EXT-X-STREAM-INF:BANDWIDTH=200000,RESOLUTION=854x480", "480p.m3u8"]
    assert finished_renditions(job) == ["360p", "480p"]


def test_file_url_input(job, valid):
    call_isolated(job, "file:" + str(valid), "master.m3u8", ["360p"])
    assert finished_renditions(job) == ["360p"]


@pytest.mark.parametrize("kind", ["vfr", "60fps", "surround_5_1", "mono_8khz", "audio_stored_first"])
def test_unusual_but_valid_sources_finish(job, media_dir, kind):
    source = media_dir / f"corpus_{kind}.mkv"
    if kind == "vfr":
        # Irregular picture spacing, as phones record: 15 to 50 ms apart.
        make_source(source, seconds=3, size="160x120", rate=60,
                    extra=("-vf", "setpts='(N*0.022+0.012*sin(N))/TB'", "-fps_mode", "passthrough"))
    elif kind == "60fps":
        make_source(source, seconds=3, size="160x120", rate=60)
    elif kind == "audio_stored_first":
        make_source(source, seconds=3, size="160x120", extra=("-map", "1:a", "-map", "0:v"))
    elif kind == "surround_5_1":
        make_source(source, seconds=3, size="160x120", audio="5.1")
    else:
        make_source(source, seconds=3, size="160x120", audio="mono", sample_rate=8000)
    call_isolated(job, str(source), "master.m3u8", ["360p"])
    assert finished_renditions(job) == ["360p"]
    streams = {s["codec_type"]: s for s in ffprobe("-show_streams", *playlist_input(job / "360p.m3u8"))["streams"]}
    assert (streams["audio"]["channels"], streams["audio"]["sample_rate"]) == (2, "44100")
    packets = ffprobe("-select_streams", "v:0", "-show_entries", "packet=dts", "-show_packets",
                      *playlist_input(job / "360p.m3u8"))["packets"]
    stamps = [int(p["dts"]) for p in packets]
    assert all(b > a for a, b in zip(stamps, stamps[1:]))
