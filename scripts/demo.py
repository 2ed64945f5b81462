"""Runs one kestrava job and shows what it wrote.

Without --input, a short sample source (moving test picture, a tone) is made
with the ffmpeg command-line tool first. Everything lands in demo-output/.
"""

import argparse
import os
import pathlib
import re
import secrets
import subprocess
import sys

import kestrava

OUTPUT_DIR = pathlib.Path("demo-output")


def make_sample(path: pathlib.Path) -> None:
    subprocess.run(
        ["ffmpeg", "-v", "error", "-y",
         "-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=30:duration=8",
         "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=8",
         "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
         "-c:a", "aac", "-shortest", str(path)],
        check=True,
    )


def write_key_info(folder: pathlib.Path) -> None:
    (folder / "enc.key").write_bytes(secrets.token_bytes(16))
    # Key URI (what players fetch), key file path (what the muxer reads), IV.
    (folder / "enc.keyinfo").write_text(f"enc.key\nenc.key\n{secrets.token_hex(16)}\n")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--input", help="source video (default: a generated sample)")
    args = parser.parse_args()

    OUTPUT_DIR.mkdir(exist_ok=True)
    for old in list(OUTPUT_DIR.glob("*.ts")) + list(OUTPUT_DIR.glob("*.m3u8")):
        old.unlink()
    if args.input:
        source = pathlib.Path(args.input).resolve()
        if not source.is_file():
            print(f"no such input file: {args.input}", file=sys.stderr)
            return 1
    else:
        source = (OUTPUT_DIR / "sample.mp4").resolve()
        if not source.exists():
            print(f"making a sample source: {source}")
            make_sample(source)
    write_key_info(OUTPUT_DIR)

    # Media playlists and segments are written into the current directory.
    os.chdir(OUTPUT_DIR)
    print(f"hls_encoder({str(source)!r}, 'master.m3u8') in {os.getcwd()} ...")
    kestrava.hls_encoder(str(source), "master.m3u8")

    master = pathlib.Path("master.m3u8")
    if not master.exists():
        print("no master playlist: the source could not be opened or has no video", file=sys.stderr)
        return 1
    print("\n== master.m3u8")
    print(master.read_text(), end="")
    print("\n== media playlists")
    failed = 0
    for name in re.findall(r"^(\S+\.m3u8)$", master.read_text(), flags=re.M):
        playlist = pathlib.Path(name)
        if not playlist.exists():
            print(f"{name}: missing (this rendition failed)")
            failed += 1
            continue
        text = playlist.read_text()
        segments = [line for line in text.splitlines() if line.endswith(".ts")]
        finished = "#EXT-X-ENDLIST" in text
        size = sum(pathlib.Path(s).stat().st_size for s in segments)
        print(f"{name}: {len(segments)} segments, {size} bytes, "
              f"{'finished' if finished else 'NOT finished'}")
        failed += not finished
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
