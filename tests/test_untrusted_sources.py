"""Uploads are untrusted: a playlist or manifest dressed as a video must not pull
other local files (another user's upload) into the package."""

import contextlib
import pathlib
import socket
import sys

import pytest

from helpers import quiet
from media import (ffmpeg, ffprobe, free_port, generate, make_source, playlist_input, run_job, server_process,
                   write_key_info)

SERVER = ("import http.server, sys\n"
          "http.server.SimpleHTTPRequestHandler.extensions_map[''] = 'application/vnd.apple.mpegurl'\n"
          "http.server.test(HandlerClass=http.server.SimpleHTTPRequestHandler, port=int(sys.argv[1]),"
          " bind='127.0.0.1')\n")


@pytest.fixture(scope="session")
def victim(media_dir) -> pathlib.Path:
    """Someone else's upload, all red."""
    path = media_dir / "victim" / "video.ts"
    path.parent.mkdir(exist_ok=True)
    return generate(path, "-f", "lavfi", "-i", "color=c=red:s=160x120:r=30:d=1", "-f", "lavfi", "-i", "sine=duration=1",
                    "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac")


@pytest.fixture(scope="session")
def named_playlist(media_dir) -> pathlib.Path:
    """movie.m3u8 with relative segments beside it, and the same playlist under a name without extension."""
    folder = media_dir / "named_playlist"
    folder.mkdir()
    source = make_source(media_dir / "playlist_source.mp4", seconds=2, size="160x120")
    ffmpeg("-i", str(source), "-c", "copy", "-f", "hls", "-hls_time", "1", "-hls_list_size", "0",
           str(folder / "movie.m3u8"))
    (folder / "movie").write_bytes((folder / "movie.m3u8").read_bytes())
    return folder / "movie.m3u8"


def hls_naming(target: str) -> str:
    return f"#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:1,\n{target}\n#EXT-X-ENDLIST\n"


def dash_naming(target: str) -> str:
    return ('<?xml version="1.0"?>\n<MPD xmlns="urn:mpeg:dash:schema:mpd:2011" type="static" '
            'mediaPresentationDuration="PT1S" minBufferTime="PT1S" '
            'profiles="urn:mpeg:dash:profile:isoff-on-demand:2011"><Period><AdaptationSet mimeType="video/mp2t">'
            f'<Representation id="1" bandwidth="100000"><BaseURL>{target}</BaseURL></Representation>'
            '</AdaptationSet></Period></MPD>\n')


@pytest.mark.parametrize("name, content, relative", [
    ("upload.mp4", hls_naming, False),
    ("upload.mp4", hls_naming, True),
    ("file:upload.mp4", hls_naming, False),
    ("3f9c2a", hls_naming, False),  # stored under a hash, without extension
    ("upload.mp4", dash_naming, False),
    ("upload.mp4", lambda target: f"ffconcat version 1.0\nfile {target}\n", True),
])
def test_disguised_playlist_writes_nothing(tmp_path, victim, name, content, relative):
    uploads = tmp_path / "uploads"
    uploads.mkdir()
    if relative:  # the other upload sits beside the attacker's
        (uploads / "other.ts").write_bytes(victim.read_bytes())
    upload = uploads / name.removeprefix("file:")
    upload.write_text(content("other.ts" if relative else str(victim)))
    job = tmp_path / "job"
    job.mkdir()
    write_key_info(job)
    source = ("file:" if name.startswith("file:") else "") + str(upload)
    assert run_job(job, source, "master.m3u8", ["360p"]) is None
    assert sorted(p.name for p in job.iterdir()) == ["enc.key", "enc.keyinfo"]


def listening(port: int) -> bool:
    with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), timeout=0.1):
        return True
    return False


@contextlib.contextmanager
def http_server(folder: pathlib.Path):
    port = free_port()
    with server_process([sys.executable, "-c", SERVER, str(port)], lambda: listening(port), "the HTTP server",
                        cwd=folder):
        yield f"http://127.0.0.1:{port}"


@quiet
@pytest.mark.parametrize("where", ["local", "http", "http-no-extension"])
def test_playlists_named_as_such_still_convert(tmp_path, named_playlist, where):
    write_key_info(tmp_path)
    with http_server(named_playlist.parent) as base:
        source = {"local": str(named_playlist), "http": f"{base}/movie.m3u8",
                  "http-no-extension": f"{base}/movie"}[where]
        run_job(tmp_path, source, "master.m3u8", ["360p"])
    playlist = tmp_path / "360p.m3u8"
    assert playlist.exists() and playlist.read_text().rstrip().endswith("#EXT-X-ENDLIST")
    frames = ffprobe("-select_streams", "v:0", "-count_frames", "-show_entries", "stream=nb_read_frames",
                     *playlist_input(playlist))["streams"][0]["nb_read_frames"]
    assert int(frames) == 60
