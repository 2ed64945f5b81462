"""A package folder as the job's steps see it: renditions put in segments first, the master
replaced whole, side files, what is read back and served, and the master's media groups."""

import json
import os
import pathlib
import threading
import urllib.error
import urllib.request
from http.server import ThreadingHTTPServer

import pytest

from kestrava_jobs import RenditionResult
from kestrava_jobs.command.preview import make_handler
from kestrava_jobs.hls.master import MediaGroup, master_text
from kestrava_jobs.storage.folder import JobFolder

RENDITIONS = [RenditionResult("720p", 3.0, 1, 1000, 2_000_000, 2_500_000, 1280, 720, "avc1.64001f,mp4a.40.2", 30.0),
              RenditionResult("360p", 3.0, 1, 1000, 400_000, 500_000, 640, 360, "avc1.64001e", None)]
SUBTITLES = MediaGroup("SUBTITLES", "subs", [{"uri": "subs_en.m3u8", "name": "English", "language": "en",
                                               "default": "YES", "autoselect": "YES"}])


def test_the_master_names_media_groups_only_when_it_has_some():
    assert master_text(RENDITIONS) == (
        "#EXTM3U\n#EXT-X-VERSION:3\n"
        '#EXT-X-STREAM-INF:BANDWIDTH=2500000,AVERAGE-BANDWIDTH=2000000,RESOLUTION=1280x720,FRAME-RATE=30,'
        'CODECS="avc1.64001f,mp4a.40.2"\n720p.m3u8\n'
        '#EXT-X-STREAM-INF:BANDWIDTH=500000,AVERAGE-BANDWIDTH=400000,RESOLUTION=640x360,CODECS="avc1.64001e"\n'
        "360p.m3u8\n")
    lines = master_text(RENDITIONS, (SUBTITLES,)).splitlines()
    assert lines[2] == ('#EXT-X-MEDIA:URI="subs_en.m3u8",TYPE=SUBTITLES,GROUP-ID="subs",LANGUAGE="en",'
                        'NAME="English",DEFAULT=YES,AUTOSELECT=YES')
    variants = [line for line in lines if line.startswith("#EXT-X-STREAM-INF:")]
    assert len(variants) == 2 and all(line.endswith(',SUBTITLES="subs"') for line in variants)


@pytest.fixture
def package(tmp_path) -> JobFolder:
    folder = JobFolder(tmp_path / "package")
    folder.path.mkdir()
    return folder


def made_in(work: pathlib.Path) -> pathlib.Path:
    """A rendition as the module leaves it in its work folder, with its own master beside it."""
    work.mkdir()
    for number in range(2):
        (work / f"360p_{number:03d}.ts").write_bytes(bytes([number]) * 188)
    (work / "360p.m3u8").write_text("#EXTM3U\n#EXTINF:6.0,\n360p_000.ts\n#EXTINF:1.0,\n360p_001.ts\n"
                                    "#EXT-X-ENDLIST\n")
    (work / "master.m3u8").write_text("the module's own")
    return work


def test_a_rendition_goes_in_segments_first_and_the_master_whole(package, tmp_path, monkeypatch):
    work = made_in(tmp_path / "work")
    moved = []
    rename = os.rename
    monkeypatch.setattr(os, "rename", lambda old, new: moved.append(pathlib.Path(new).name) or rename(old, new))
    package.put_rendition(work, "360p")
    assert moved == ["360p_000.ts", "360p_001.ts", "360p.m3u8"], "a listed segment is always there"
    assert package.names() == ["360p.m3u8", "360p_000.ts", "360p_001.ts"]
    assert package.read("360p_001.ts") == bytes([1]) * 188 and (work / "master.m3u8").exists()
    package.put_master("first")
    before = (package.path / "master.m3u8").stat().st_ino
    package.put_master("second")
    assert package.read("master.m3u8") == b"second"
    assert (package.path / "master.m3u8").stat().st_ino != before, "a new file put in place, never rewritten"
    elsewhere = tmp_path / "someone's.jpg"
    elsewhere.write_bytes(b"theirs")
    (package.path / "poster.jpg.partial").symlink_to(elsewhere)  # planted beside the package's files
    package.put_side_file("poster.jpg", b"\xff\xd8")
    assert elsewhere.read_bytes() == b"theirs" and package.read("poster.jpg") == b"\xff\xd8"
    assert package.names() == ["360p.m3u8", "360p_000.ts", "360p_001.ts", "master.m3u8", "poster.jpg"]
    package.remove_put(created=True)
    assert not package.path.exists()


def test_the_preview_serves_side_files_as_what_they_are_and_nothing_else(package, tmp_path):
    package.put_side_file("subs_en.vtt", b"WEBVTT\n")
    package.put_side_file("poster.jpg", b"\xff\xd8")
    # The master names a storyboard the package does not hold: the page is not sent to it.
    package.put_master('#EXTM3U\n#EXT-X-SESSION-DATA:DATA-ID="com.kestrava.poster",URI="poster.jpg"\n'
                       '#EXT-X-SESSION-DATA:DATA-ID="com.kestrava.storyboard",URI="storyboard.vtt"\n')
    (tmp_path / "secret.jpg").write_bytes(b"not in the package")
    (package.path / "linked.jpg").symlink_to(tmp_path / "secret.jpg")
    (package.path / "notes.txt").write_bytes(b"no kind a package holds")
    server = ThreadingHTTPServer(("127.0.0.1", 0), make_handler(package, bytes(16), "enc.key"))
    server.daemon_threads = False  # joined when it closes: no thread outlives the test
    serving = threading.Thread(target=server.serve_forever)
    serving.start()
    url = f"http://127.0.0.1:{server.server_address[1]}/"
    try:
        with urllib.request.urlopen(url + "__preview__/config.json", timeout=5) as reply:
            config = json.load(reply)
        assert (config["poster"], config["storyboard"]) == ("poster.jpg", None)
        for name, kind, body in (("subs_en.vtt", "text/vtt", b"WEBVTT\n"), ("poster.jpg", "image/jpeg", b"\xff\xd8")):
            with urllib.request.urlopen(url + name, timeout=5) as reply:
                assert (reply.headers["Content-Type"], reply.read()) == (kind, body)
        for name in ("linked.jpg", "notes.txt", "%2E%2E/secret.jpg"):
            with pytest.raises(urllib.error.HTTPError, match="404") as refused:
                urllib.request.urlopen(url + name, timeout=5).close()
            refused.value.close()
    finally:
        server.shutdown()
        server.server_close()
        serving.join()
