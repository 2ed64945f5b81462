"""Caption renditions as a viewer gets them: hls.js in Debian's headless Chromium lists the
package's tracks, the preview's picker switches them, and each cue shows at the time its
SubRip file gives, on a Matroska's own tracks, on a sidecar and on a source whose clock
starts late."""

import pathlib
import shutil
import time

import pytest

from browser import Page, opened, previewing
from helpers import needs_unsanitized_module, quiet
from kestrava_jobs import package_video
from media import generate, make_source, wait_for

pytestmark = [pytest.mark.skipif(shutil.which("chromium") is None, reason="needs Debian's chromium"),
              needs_unsanitized_module, quiet]

Cue = tuple[float, float, str]
# Each file has cues in both video segments (6 s and 2 s) and one across the cut, with
# gaps short enough that a few seconds of playing meet more than one.
ENGLISH = [(0.4, 1.4, "Hello"), (1.8, 2.9, "Second"), (3.3, 4.4, "Third"), (4.8, 6.6, "Across the cut"),
           (6.9, 7.7, "Late")]
PORTUGUESE = [(0.6, 1.7, "Olá"), (2.1, 3.4, "Segunda"), (3.8, 5.1, "Terceira"), (5.5, 6.4, "No corte"),
              (6.8, 7.6, "Tarde")]
GERMAN = [(0.3, 1.2, "Hallo"), (1.6, 2.8, "Zweite"), (3.2, 4.6, "Dritte"), (5.0, 6.3, "Über den Schnitt"),
          (6.7, 7.8, "Spät")]
TOLERANCE = 0.1
# activeCues follows the clock on the media element's own updates: samples this near a cue's
# edge may be either side of it.
EDGE = 0.3

SHOWN = """(() => {
  const shown = [...video.textTracks].filter(t => ["subtitles", "captions"].includes(t.kind) && t.mode !== "disabled");
  return shown.length === 1 && shown[0].cues ? {label: shown[0].label,
    language: shown[0].language, mode: shown[0].mode, cues: [...shown[0].cues].map(c => [c.startTime, c.endTime, c.text])}
    : null; })()"""
NOW = """({t: video.currentTime, paused: video.paused, active: [...video.textTracks]
  .filter(t => t.mode !== "disabled").flatMap(t => [...(t.activeCues || [])].map(c => c.text))})"""


def subrip(path: pathlib.Path, cues: list[Cue]) -> pathlib.Path:
    def stamp(seconds: float) -> str:
        millis = round(seconds * 1000)
        return f"00:00:{millis // 1000:02d},{millis % 1000:03d}"
    path.write_text("".join(f"{number}\n{stamp(start)} --> {stamp(end)}\n{text}\n\n"
                            for number, (start, end, text) in enumerate(cues, 1)))
    return path


def two_languages(media_dir: pathlib.Path) -> pathlib.Path:
    """8 s of Matroska with English and (titled, default) Portuguese SubRip tracks."""
    english, portuguese = subrip(media_dir / "browser_en.srt", ENGLISH), subrip(media_dir / "browser_pt.srt", PORTUGUESE)
    return generate(media_dir / "browser_two_languages.mkv",
                    "-f", "lavfi", "-i", "testsrc=size=320x240:rate=30:duration=8",
                    "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=8",
                    "-i", str(english), "-i", str(portuguese), "-map", "0", "-map", "1", "-map", "2", "-map", "3",
                    "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac", "-c:s", "srt",
                    "-metadata:s:s:0", "language=eng", "-metadata:s:s:1", "language=por",
                    "-metadata:s:s:1", "title=Português", "-disposition:s:0", "0", "-disposition:s:1", "default")


def pick(page: Page, track: int) -> None:
    page.evaluate(f"captions.value = '{track}'; captions.dispatchEvent(new Event('change'))")


def shown_cues(page: Page, label: str, expected: list[Cue]) -> list[Cue]:
    """The cues of the one track hls.js shows, once it holds as many as the file has (or
    after a few seconds, so that a missing cue is told as such)."""
    found = wait_for(lambda: (s := page.evaluate(SHOWN)) and s["label"] == label and s, 20, f"{label} to show")
    deadline = time.monotonic() + 3
    while len(found["cues"]) < len(expected) and time.monotonic() < deadline:
        time.sleep(0.1)
        found = page.evaluate(SHOWN) or found
    assert found["mode"] == "showing"
    return [tuple(cue) for cue in found["cues"]]


def assert_on_time(found: list[Cue], expected: list[Cue]) -> None:
    assert [text for *_, text in sorted(found)] == [text for *_, text in expected]
    assert [t for cue in sorted(found) for t in cue[:2]] == \
        pytest.approx([t for cue in expected for t in cue[:2]], abs=TOLERANCE)


def assert_active_while_playing(page: Page, expected: list[Cue]) -> None:
    """Sampled as the video plays, the cues active are those whose times hold the clock."""
    seen: set[str] = set()
    started, deadline = page.evaluate("video.currentTime"), time.monotonic() + 4
    while (len(seen) < 2 or page.evaluate("video.currentTime") == started) and time.monotonic() < deadline:
        now = page.evaluate(NOW)
        assert not now["paused"], "the video must play"
        if all(abs(now["t"] - edge) > EDGE for start, end, _ in expected for edge in (start, end)):
            assert sorted(now["active"]) == sorted(text for start, end, text in expected if start <= now["t"] < end), now
            seen.update(now["active"])
        time.sleep(0.1)
    assert len(seen) >= 2, f"cues seen active while playing: {seen}"


def test_the_picker_shows_the_tracks_of_a_matroska_and_a_sidecar(tmp_path, media_dir, debugging_port):
    source = two_languages(media_dir)
    sidecar = subrip(tmp_path / "deutsch.srt", GERMAN)
    package_video(source, tmp_path / "package", resolution=["360p"], captions={"de": str(sidecar)})
    with previewing(tmp_path / "package") as url, opened(debugging_port, url) as page:
        listed = wait_for(lambda: page.evaluate("preview.subtitles.length && preview.subtitles"), 20, "the tracks")
        assert listed == [{"name": "English", "lang": "en", "default": False},
                          {"name": "Português", "lang": "pt", "default": True},
                          {"name": "German", "lang": "de", "default": False}]
        page.evaluate("video.loop = true")
        # hls.js picks the track the master marks DEFAULT=YES; the picker says so.
        assert_on_time(shown_cues(page, "Português", PORTUGUESE), PORTUGUESE)
        assert page.evaluate("[preview.subtitle, captions.value, [...captions.options].map(o => o.text)]") == \
            [1, "1", ["off", "English (en)", "Português (pt)", "German (de)"]]
        assert_active_while_playing(page, PORTUGUESE)
        pick(page, -1)
        wait_for(lambda: page.evaluate(f"preview.subtitle === -1 && !preview.hls.subtitleDisplay && {NOW}.active.length"
                                       " === 0 && [...video.textTracks].every(t => t.mode === 'disabled')"),
                 10, "captions off")
        pick(page, 2)
        assert_on_time(shown_cues(page, "German", GERMAN), GERMAN)
        assert_active_while_playing(page, GERMAN)
        assert page.evaluate("[preview.subtitle, preview.errors]") == [2, []]


def test_a_sidecar_keeps_to_a_clock_that_starts_late(tmp_path, media_dir, debugging_port):
    # MPEG-TS cannot carry SubRip: its captions come beside it.
    source = make_source(media_dir / "browser_late_clock.ts", seconds=8, picture="testsrc",
                         extra=("-output_ts_offset", "600"))
    sidecar = subrip(tmp_path / "english.srt", ENGLISH)
    package_video(source, tmp_path / "package", resolution=["360p"], captions={"en": str(sidecar)})
    with previewing(tmp_path / "package") as url, opened(debugging_port, url) as page:
        assert wait_for(lambda: page.evaluate("preview.subtitles.length && preview.subtitles"), 20, "the tracks") == \
            [{"name": "English", "lang": "en", "default": False}]
        page.evaluate("video.loop = true")
        pick(page, 0)
        assert_on_time(shown_cues(page, "English", ENGLISH), ENGLISH)
        assert_active_while_playing(page, ENGLISH)
        assert page.evaluate("preview.errors") == []
