"""Packages one source the way an application does (kestrava_jobs: progress bar, checked
result table), then prints the command that plays the package in the browser.

Without --input, a short sample (moving test picture, a tone) is made with the ffmpeg
command-line tool first. The package lands in demo-output/, FFmpeg's log in
demo-output.log and the key in build/demo-keys/.
"""

import argparse
import pathlib
import shutil
import subprocess
import sys

from kestrava_jobs.command.cli import main as kestrava_package

OUTPUT_DIR = pathlib.Path("demo-output")
SAMPLE = pathlib.Path("build") / "demo-sample.mp4"
KEY_DIR = pathlib.Path("build") / "demo-keys"


def make_sample(path: pathlib.Path) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run(
        ["ffmpeg", "-v", "error", "-y",
         "-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=30:duration=14",
         "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=14",
         "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
         "-c:a", "aac", "-shortest", str(path)],
        check=True,
    )


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--input", help="source video (default: a generated sample)")
    args = parser.parse_args()
    if args.input:
        source = pathlib.Path(args.input)
    else:
        source = SAMPLE
        if not source.exists():
            print(f"making a sample source: {source}")
            make_sample(source)
    # The demo's own folder from an earlier run.
    shutil.rmtree(OUTPUT_DIR, ignore_errors=True)
    code = kestrava_package([str(source), str(OUTPUT_DIR), "--key-dir", str(KEY_DIR)])
    print(f"\nFFmpeg's log: {OUTPUT_DIR}.log")
    if code == 0:
        print(f"Play it:      .venv/bin/kestrava-package preview {OUTPUT_DIR}")
    return code


if __name__ == "__main__":
    sys.exit(main())
