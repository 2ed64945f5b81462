"""A local preview of a package: its playlists and segments, its key at the URI the
playlists name, and a page that plays the master with hls.js (1.7.4, Apache-2.0, shipped
in preview_assets/ with its licence) and lets the viewer pick a level."""

import http.server
import json
import logging
import pathlib
import urllib.parse
from importlib import resources

import m3u8

from .job_folder import MASTER, JobFolder, read_record

log = logging.getLogger(__name__)

TYPES = {".m3u8": "application/vnd.apple.mpegurl", ".ts": "video/mp2t"}
ASSETS = {"/": ("page.html", "text/html; charset=utf-8"),
          "/__preview__/hls.min.js": ("hls.min.js", "text/javascript; charset=utf-8")}
KEY_PATH = "/__preview__/key"
CONFIG_PATH = "/__preview__/config.json"
LOOPBACK = "127.0.0.1"


def key_uri_of(folder: JobFolder) -> str | None:
    """The key URI the media playlists name (the first encrypted segment's)."""
    master = m3u8.loads(folder.master.read_text())
    for variant in master.playlists:
        playlist = m3u8.loads((folder.path / variant.uri).read_text())
        for key in playlist.keys:
            if key is not None and key.uri:
                return key.uri
    return None


def recorded_key_file(folder: JobFolder) -> pathlib.Path | None:
    """The key file the job that made the package recorded beside it."""
    recorded = read_record(folder)
    return pathlib.Path(recorded[1].key_file) if recorded and recorded[1].key_file else None


def make_handler(out_dir: pathlib.Path, key: bytes, key_uri: str) -> type[http.server.BaseHTTPRequestHandler]:
    # A relative URI resolves against the playlists, which sit at the root.
    relative_key = None if urllib.parse.urlsplit(key_uri).scheme else "/" + key_uri.lstrip("/")
    config = json.dumps({"keyUri": key_uri, "keyPath": KEY_PATH}).encode()

    class Handler(http.server.BaseHTTPRequestHandler):
        server_version = "kestrava-preview"

        def do_GET(self) -> None:  # noqa: N802 - the standard library's name
            path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
            if path in (KEY_PATH, relative_key):
                # The key only to this machine, never cached.
                if self.client_address[0] != LOOPBACK:
                    return self.send_error(403)
                return self.reply(key, "application/octet-stream", {"Cache-Control": "no-store"})
            if path == CONFIG_PATH:
                return self.reply(config, "application/json")
            if path in ASSETS:
                name, kind = ASSETS[path]
                return self.reply((resources.files(__package__) / "preview_assets" / name).read_bytes(), kind)
            file = (out_dir / path.lstrip("/")).resolve()
            # Only the package's playlists and segments; never a folder listing.
            if file.parent != out_dir or file.suffix not in TYPES or not file.is_file():
                return self.send_error(404)
            self.reply(file.read_bytes(), TYPES[file.suffix])

        def reply(self, body: bytes, kind: str, headers: dict[str, str] | None = None) -> None:
            self.send_response(200)
            self.send_header("Content-Type", kind)
            self.send_header("Content-Length", str(len(body)))
            for name, value in (headers or {}).items():
                self.send_header(name, value)
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, format: str, *args: object) -> None:  # noqa: A002
            log.debug("%s %s", self.address_string(), format % args)

    return Handler


def serve(out_dir: pathlib.Path, key_file: pathlib.Path | None = None, port: int = 0) -> None:
    """Serves the package on 127.0.0.1 until interrupted; prints the page's URL."""
    out_dir = out_dir.resolve()
    folder = JobFolder(out_dir)
    if not folder.master.is_file():
        raise FileNotFoundError(f"{out_dir}: no {MASTER}; is this a package folder?")
    key_file = key_file or recorded_key_file(folder)
    if key_file is None:
        raise FileNotFoundError(f"{out_dir}: no record of its key beside it; give the key file with --key")
    key_uri = key_uri_of(folder)
    if key_uri is None:
        raise ValueError(f"{out_dir}: its playlists name no key")
    handler = make_handler(out_dir, key_file.read_bytes(), key_uri)
    with http.server.ThreadingHTTPServer((LOOPBACK, port), handler) as server:
        print(f"previewing {out_dir} at http://{LOOPBACK}:{server.server_address[1]}/ (Ctrl-C to stop)",
              flush=True)
        server.serve_forever()
