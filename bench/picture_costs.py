"""What the picture corrections cost: the default ladder on HDR against SDR, and on
interlaced against progressive video of the same pictures, in paired runs.

Usage: python bench/picture_costs.py [--rounds N] [--baseline DIR]
With --baseline, also the make bench source through this build against the module
built into DIR (pip install --target DIR), which shows what SDR sources pay.
"""

import argparse
import pathlib
import statistics
import subprocess

from runners import LADDER, command_a, fresh_folder, measure
from sources import CACHE, realistic_source, write_key_info

RESULTS = pathlib.Path(__file__).resolve().parent / "results"
NAMES = [name for name, *_ in LADDER]
PICTURES = "testsrc2=size=1920x1080:rate={rate}:duration=10,noise=alls=14:allf=t+u"
X265 = ["-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error", "-b:v", "12M"]
X264 = ["-c:v", "libx264", "-preset", "veryfast", "-b:v", "12M"]
TONE_MAP = ("zscale=t=linear:npl=100:p=bt709,format=gbrpf32le,tonemap=tonemap=hable:desat=0,"
            "zscale=t=bt709:m=bt709:r=tv")


def cached(name: str, filters: str, codec: list[str], rate: int = 30) -> pathlib.Path:
    """10 s of 1080p moving noise with a tone, made once."""
    CACHE.mkdir(parents=True, exist_ok=True)
    path = CACHE / name
    if not path.exists():
        partial = path.with_name("partial-" + name)
        subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
                        PICTURES.format(rate=rate), "-f", "lavfi", "-i", "sine=frequency=330:duration=10",
                        "-vf", filters, *codec, "-c:a", "aac", str(partial)], check=True)
        partial.rename(path)
    return path


def sources() -> dict[str, pathlib.Path]:
    to_hlg = ("zscale=tin=bt709:min=bt709:pin=bt709:rin=tv:t=arib-std-b67:m=bt2020nc:p=bt2020:r=tv:npl=203,"
              "format=yuv420p10le")
    return {
        "hdr_hlg": cached("hlg_10bit_1080p.mp4", to_hlg, [*X265, "-colorspace", "bt2020nc",
                          "-color_primaries", "bt2020", "-color_trc", "arib-std-b67"]),
        # The HLG pictures as the tone mapping shows them, made SDR beforehand: the
        # encoders then get the same pictures, and only the tone mapping differs.
        "sdr_10bit": cached("sdr_10bit_1080p_tonemapped.mp4", f"{to_hlg},{TONE_MAP},format=yuv420p10le",
                            [*X265, "-colorspace", "bt709", "-color_primaries", "bt709", "-color_trc", "bt709"]),
        "interlaced": cached("interlaced_1080i.mp4", "interlace=scan=tff,format=yuv420p",
                             [*X264, "-flags", "+ildct+ilme", "-x264-params", "tff=1"], rate=60),
        # The very same pictures, flagged progressive: what differs is the deinterlacing.
        "progressive": cached("interlaced_flagged_progressive.mp4", "interlace=scan=tff,setfield=prog,format=yuv420p",
                              X264, rate=60),
    }


def command(source: pathlib.Path, module_dir: str | None) -> list[list[str]]:
    [call] = command_a(source, NAMES)
    return [["env", f"PYTHONPATH={module_dir}", *call]] if module_dir else [call]


def paired(label: str, first: list[list[str]], second: list[list[str]], rounds: int,
           folder: pathlib.Path) -> None:
    """Alternates the two runs and prints the median wall and CPU ratio of first to second."""
    walls, cpus = [], []
    for _ in range(rounds):
        a, b = measure(first, folder), measure(second, folder)
        walls.append(a["wall_s"] / b["wall_s"])
        cpus.append(a["cpu_s"] / b["cpu_s"])
        print(f"  {label}: {a['wall_s']:.1f} s ({a['cpu_s']:.0f} s CPU) "
              f"against {b['wall_s']:.1f} s ({b['cpu_s']:.0f} s CPU)", flush=True)
    print(f"{label}: wall ratio {statistics.median(walls):.3f}, CPU ratio {statistics.median(cpus):.3f}",
          flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--baseline", help="a folder holding another build of the module")
    parser.add_argument("--only", choices=["hdr", "interlaced", "baseline"], action="append")
    args = parser.parse_args()
    folder = fresh_folder(RESULTS / "work", "pictures", write_key_info(RESULTS / "work" / "key"))
    made = sources()
    wanted = args.only or ["hdr", "interlaced", "baseline"]
    if "hdr" in wanted:
        paired("HLG / SDR 10-bit", command(made["hdr_hlg"], None), command(made["sdr_10bit"], None),
               args.rounds, folder)
    if "interlaced" in wanted:
        paired("1080i / 1080p", command(made["interlaced"], None), command(made["progressive"], None),
               args.rounds, folder)
    if args.baseline and "baseline" in wanted:
        source = realistic_source(20)
        paired("this build / baseline (SDR)", command(source, None), command(source, args.baseline),
               args.rounds, folder)


if __name__ == "__main__":
    main()
