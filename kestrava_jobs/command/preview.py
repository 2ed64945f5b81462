"""A local preview of a package: its playlists and segments, its key at the URI the
playlists name, and a page that plays the master with hls.js (1.7.4, Apache-2.0, shipped
in preview_assets/ with its licence), lets the viewer pick a level and captions, shows the
poster before play and the storyboard's tile of the time under the pointer on its seek bar."""

import http.server
import json
import logging
import pathlib
import urllib.parse
from importlib import resources

import m3u8

from ..storage.locations import check_scheme, package_at
from ..storage.names import CONTENT_TYPES, MASTER, POSTER, SESSION_DATA_IDS, STORYBOARD
from ..storage.seam import JobState, Package

log = logging.getLogger(__name__)

ASSETS = {"/": ("page.html", "text/html; charset=utf-8"),
          "/__preview__/hls.min.js": ("hls.min.js", "text/javascript; charset=utf-8")}
KEY_PATH = "/__preview__/key"
CONFIG_PATH = "/__preview__/config.json"
LOOPBACK = "127.0.0.1"


def key_uri_of(package: Package) -> str | None:
    """The key URI the media playlists name (the first encrypted segment's)."""
    master = m3u8.loads(package.read(MASTER).decode())
    for variant in master.playlists:
        playlist = m3u8.loads(package.read(variant.uri).decode())
        for key in playlist.keys:
            if key is not None and key.uri:
                return key.uri
    return None


def recorded_key_file(state: JobState) -> pathlib.Path | None:
    """The key file the job that made the package recorded beside it."""
    recorded = state.read_record()
    return pathlib.Path(recorded[1].key_file) if recorded and recorded[1].key_file else None


def side_files_of(package: Package) -> dict[str, str]:
    """The side files the master names as session data and the package holds, by data id."""
    if not package.has(MASTER):
        return {}
    master = m3u8.loads(package.read(MASTER).decode())
    named = {entry.data_id: entry.uri for entry in master.session_data if entry.uri}
    return {data_id: uri for data_id, uri in named.items() if uri in package.names()}


def make_handler(package: Package, key: bytes, key_uri: str,
                 base_url: str | None = None) -> type[http.server.BaseHTTPRequestHandler]:
    # A relative URI resolves against the playlists, which sit at the root.
    relative_key = None if urllib.parse.urlsplit(key_uri).scheme else "/" + key_uri.lstrip("/")
    side_files = side_files_of(package)
    # Played from where it is served (a bucket, a CDN) when given; through this server otherwise.
    base = base_url.rstrip("/") + "/" if base_url else ""
    named = {kind: base + side_files[SESSION_DATA_IDS[kind]] if SESSION_DATA_IDS[kind] in side_files else None
             for kind in (POSTER, STORYBOARD)}
    config = json.dumps({"master": base + MASTER, "keyUri": key_uri, "keyPath": KEY_PATH, "poster": named[POSTER],
                         "storyboard": named[STORYBOARD]}).encode()

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
            # Only the package's own kinds of file, by the names it lists; never a folder listing.
            name = path.lstrip("/")
            kind = CONTENT_TYPES.get(pathlib.PurePosixPath(name).suffix)
            if kind is None or name not in package.names():
                return self.send_error(404)
            self.reply(package.read(name), kind)

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


def serve(location: str, key_file: pathlib.Path | None = None, port: int = 0, base_url: str | None = None) -> None:
    """Serves the package on 127.0.0.1 until interrupted; prints the page's URL. With
    `base_url` the page plays the package from there, and only its key comes from here."""
    package = package_at(check_scheme(location))
    out_dir = package.location
    if not package.has(MASTER):
        raise FileNotFoundError(f"{out_dir}: no {MASTER}; is this a package folder?")
    key_file = key_file or recorded_key_file(package.state)
    if key_file is None:
        raise FileNotFoundError(f"{out_dir}: no record of its key beside it; give the key file with --key")
    key_uri = key_uri_of(package)
    if key_uri is None:
        raise ValueError(f"{out_dir}: its playlists name no key")
    handler = make_handler(package, key_file.read_bytes(), key_uri, base_url)
    with http.server.ThreadingHTTPServer((LOOPBACK, port), handler) as server:
        print(f"previewing {out_dir} at http://{LOOPBACK}:{server.server_address[1]}/ (Ctrl-C to stop)",
              flush=True)
        server.serve_forever()
