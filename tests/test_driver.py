"""The job driver and the master playlist, observed through the files a call writes.

The folders here hold no key info file, so every worker stops at the muxer's
header and the driver's own decisions are all that shows: the master
playlist's lines.
"""

import pytest

from kestrava_jobs import ladder
from media import master_lines, run_job, stream_inf

HEADER = ["#EXTM3U", "#EXT-X-VERSION:3"]


def variants(folder, source, *args, **kwargs):
    run_job(folder, str(source), "master.m3u8", *args, **kwargs)
    return stream_inf(master_lines(folder / "master.m3u8"))


@pytest.mark.parametrize("names, bitrates, expected", [
    pytest.param(["480p", "360p"], [], [("480p", 1000000), ("360p", 400000)], id="completed-from-table"),
    pytest.param(["999p", "720p"], [], [("720p", 2500000)], id="unknown-name-completed-as-1000000"),
    pytest.param(["1080p", "999p", "720p"], [5000000, 2500000, 1000000],
                 [("1080p", 5000000), ("720p", 1000000)], id="skipped-name-keeps-positions"),
    pytest.param(["720p", "360p"], [5000000, 2500000, 1000000, 400000],
                 [("720p", 5000000), ("360p", 2500000)], id="positions-not-names"),
    pytest.param(["720p", "360p"], [0, -5], [("720p", 0), ("360p", -5)], id="zero-and-negative"),
    pytest.param(["360p", "720P", " 720p", "1440p", "", "360p", "720p", "360p"], [1, 2, 3, 4, 5, 6, 7, 8],
                 [("360p", 1), ("720p", 7)], id="unknown-and-repeated-names"),
])
def test_bit_rates_pair_with_names_by_position(tmp_path, video_only, names, bitrates, expected):
    sizes = {"1080p": "1920x1080", "720p": "1280x720", "480p": "854x480", "360p": "640x360"}
    assert variants(tmp_path, video_only, names, bitrates) == [
        (f"BANDWIDTH={rate},RESOLUTION={sizes[name]}", f"{name}.m3u8") for name, rate in expected]


def test_the_companions_ladder_is_the_modules(tmp_path, video_only):
    """The companion cannot read the module's table: the calls show it. Without names and
    rates the whole ladder at its default rates; names without rates get each its own."""
    expected = [(f"BANDWIDTH={rung.bitrate},RESOLUTION={rung.wide}x{rung.narrow}", f"{rung.name}.m3u8")
                for rung in ladder.LADDER]
    assert variants(tmp_path / "defaults", video_only) == expected
    assert variants(tmp_path / "by_name", video_only, ladder.NAMES[::-1], []) == expected[::-1]


def test_master_playlist_bytes(tmp_path, video_only):
    run_job(tmp_path, str(video_only), "master.m3u8", ["720p", "360p"], [2500000, -1])
    assert (tmp_path / "master.m3u8").read_bytes() == (
        b"#EXTM3U\n#EXT-X-VERSION:3\n"
        b"#EXT-X-STREAM-INF:BANDWIDTH=2500000,RESOLUTION=1280x720\n720p.m3u8\n"
        b"#EXT-X-STREAM-INF:BANDWIDTH=-1,RESOLUTION=640x360\n360p.m3u8\n")


@pytest.mark.parametrize("names", [[], ["1440p", "720P", " 720p"]], ids=["empty", "only-unknown"])
def test_no_accepted_name_writes_the_two_header_lines(tmp_path, video_only, names):
    run_job(tmp_path, str(video_only), "master.m3u8", names)
    assert (tmp_path / "master.m3u8").read_bytes() == b"#EXTM3U\n#EXT-X-VERSION:3\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["master.m3u8"]


def test_existing_master_is_replaced_not_appended(tmp_path, video_only):
    (tmp_path / "master.m3u8").write_text("old content that is longer than the new file\n" * 50)
    run_job(tmp_path, str(video_only), "master.m3u8", ["360p"])
    assert master_lines(tmp_path / "master.m3u8") == HEADER + [
        "#EXT-X-STREAM-INF:BANDWIDTH=5000000,RESOLUTION=640x360", "360p.m3u8"]


def test_master_in_a_missing_directory_is_quietly_not_written(tmp_path, video_only):
    assert run_job(tmp_path, str(video_only), "no/such/dir/master.m3u8", ["360p"]) is None
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("source, expected", [
    ("video_only", ["1920x1080", "1280x720", "854x480", "640x360"]),
    ("portrait_video_only", ["1080x1920", "720x1280", "480x854", "360x640"]),
    ("square_video_only", ["1920x1080", "1280x720", "854x480", "640x360"]),
])
def test_frame_sizes_follow_the_source_orientation(tmp_path, request, source, expected):
    found = variants(tmp_path, request.getfixturevalue(source))
    assert [attributes.split("RESOLUTION=")[1] for attributes, _ in found] == expected


def test_sources_without_video_write_nothing(tmp_path, audio_only):
    for source in [audio_only, tmp_path / "missing.mp4", tmp_path]:
        assert run_job(tmp_path / "out", str(source), "master.m3u8") is None
        assert list((tmp_path / "out").iterdir()) == []
