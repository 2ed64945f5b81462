"""The preview's page in Chromium, read off its screenshots: the poster before play, and
the storyboard's tile of the time under the pointer on the seek bar; and the page under
the seek bar, where the storyboard's own media element must not show."""

import base64
import pathlib

import numpy as np

from browser import opened, previewing
from helpers import needs_unsanitized_module
from kestrava_jobs import package_video
from media import generate, wait_for
from test_pictures import frames, psnr

pytestmark = needs_unsanitized_module
BOX = "(element => { const box = element.getBoundingClientRect(); return [box.left, box.top, box.width, box.height]; })"
# The elements shown below an element and at least as wide as it, by id (or tag).
WIDE_BELOW = ("(above => { const bar = above.getBoundingClientRect(); return [...document.body.querySelectorAll('*')]"
              ".filter(element => { const box = element.getBoundingClientRect(); return box.top >= bar.bottom && "
              "box.width >= bar.width && box.height > 0 && element.checkVisibility({opacityProperty: true, "
              "visibilityProperty: true}); }).map(element => element.id || element.tagName); })")


def screenshot(page, path: pathlib.Path) -> pathlib.Path:
    path.write_bytes(base64.b64decode(page.send("Page.captureScreenshot", format="png")["data"]))
    return path


def seen(shot: pathlib.Path, box: list[float], size: tuple[int, int]) -> np.ndarray:
    """What the screenshot shows in the box, made `size` large."""
    x, y, w, h = (round(value) for value in box)
    return frames("-i", str(shot), size=size, filters=f"crop={w}:{h}:{x}:{y},scale={size[0]}:{size[1]}")[0]


def test_the_page_shows_the_poster_before_play_and_the_tile_under_the_pointer(tmp_path, media_dir, debugging_port):
    source = generate(media_dir / "browser_slides.mp4", "-f", "lavfi", "-i", "testsrc2=size=320x180:rate=1:duration=12",
                      "-vf", "fps=30", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p")
    out = tmp_path / "package"
    package_video(source, out, resolution=["360p"])
    poster = frames("-i", str(out / "poster.jpg"), size=(320, 180))[0]
    sheet = frames("-i", str(out / "storyboard_0.jpg"), size=(1600, 180))[0]  # 10 tiles a row
    with previewing(out) as url, opened(debugging_port, url + "#paused") as page:
        wait_for(lambda: page.evaluate("video.poster.endsWith('/poster.jpg') && video.duration > 0"), 20, "the master")
        # The poster fills the picture's box as its shape allows (object-fit: contain).
        left, top, width, height = page.evaluate(f"{BOX}(video)")
        scale = min(width / 320, height / 180)
        shown = [left + (width - 320 * scale) / 2, top + (height - 180 * scale) / 2, 320 * scale, 180 * scale]
        before_play = seen(screenshot(page, tmp_path / "poster.png"), shown, (320, 180))

        left, top, width, height = page.evaluate(f"{BOX}(document.getElementById('scrub'))")
        page.send("Input.dispatchMouseEvent", type="mouseMoved", x=left + width * 6.5 / 12, y=top + height / 2)
        tile = wait_for(lambda: page.evaluate("preview.tile"), 10, "the tile under the pointer")
        x, y, w, h = page.evaluate(f"{BOX}(document.getElementById('tile'))")
        hovered = seen(screenshot(page, tmp_path / "hover.png"), [x + 2, y + 2, w - 4, h - 4], (160, 90))
        assert page.evaluate("[video.paused, preview.errors]") == [True, []]
    tiles = [sheet[90 * (n // 10):90 * (n // 10 + 1), 160 * (n % 10):160 * (n % 10 + 1)] for n in range(12)]
    print(f"poster {psnr(before_play[:90], poster[:90]):.1f} dB; tile {psnr(hovered, tiles[6]):.1f} dB, "
          f"against its neighbours {psnr(hovered, tiles[5]):.1f} and {psnr(hovered, tiles[7]):.1f} dB")
    assert (tile["sheet"], tile["x"], tile["y"], tile["width"], tile["height"]) == ("storyboard_0.jpg", 960, 0, 160, 90)
    assert psnr(before_play[:90], poster[:90]) >= 25  # above the controls the paused player lays over it
    assert psnr(hovered, tiles[6]) >= 30 > max(psnr(hovered, tiles[5]), psnr(hovered, tiles[7]))


def test_nothing_as_wide_as_the_seek_bar_shows_under_it(packaged, debugging_port):
    """The storyboard's media element only reads the index: no empty black box under the bar."""
    out, _ = packaged
    with previewing(out) as url, opened(debugging_port, url + "#paused") as page:
        wait_for(lambda: page.evaluate("window.preview && video.duration > 0"), 20, "the master")
        assert page.evaluate(f"{WIDE_BELOW}(document.getElementById('scrub'))") == []
        assert page.evaluate("preview.errors") == []
