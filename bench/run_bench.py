"""kestrava against the ffmpeg command-line tool on the same ladder, same machine, same source.

Usage: python bench/run_bench.py [--rounds N]
Writes a markdown table to stdout, bench/results/bench.json and bench/results/bench.png.
"""

import argparse
import json
import pathlib
import re
import statistics
import subprocess

from runners import LADDER, command_a, command_b, command_c, fresh_folder, measure
from sources import realistic_source, write_key_info

RESULTS = pathlib.Path(__file__).resolve().parent / "results"
NAMES = [name for name, *_ in LADDER]


def probe_rendition(folder: pathlib.Path, name: str) -> dict:
    """Frame size, video bit rate and segment count of one rendition, read through its playlist."""
    playlist = folder / f"{name}.m3u8"
    data = json.loads(subprocess.run(
        ["ffprobe", "-v", "error", "-of", "json", "-allowed_extensions", "ALL", "-i", str(playlist),
         "-select_streams", "v:0", "-show_entries", "stream=width,height:packet=size,pts_time",
         "-show_packets"], check=True, capture_output=True, text=True).stdout)
    stream = data["streams"][0]
    packets = data["packets"]
    stamps = [float(p["pts_time"]) for p in packets]
    seconds = (max(stamps) - min(stamps)) * len(stamps) / max(len(stamps) - 1, 1)
    return {"size": f"{stream['width']}x{stream['height']}",
            "video_kbps": sum(int(p["size"]) for p in packets) * 8 / seconds / 1000,
            "segments": len(re.findall(r"\.ts$", playlist.read_text(), flags=re.M))}


def summarise(runs: list[dict]) -> dict:
    return {key: statistics.median(run[key] for run in runs) for key in runs[0]}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    source20, source60 = realistic_source(20), realistic_source(60)
    work = RESULTS / "work"
    key_info = write_key_info(work / "key")
    folders = {label: fresh_folder(work, label, key_info) for label in "ABC"}
    commands = {"A": command_a(source20, NAMES), "B": command_b(source20, key_info),
                "C": command_c(source20, key_info)}

    runs: dict[str, list[dict]] = {label: [] for label in "ABC"}
    for round_index in range(args.rounds):
        for label in "ABC":  # alternated so drift in the machine hits all three alike
            runs[label].append(measure(commands[label], folders[label]))
            print(f"round {round_index + 1} {label}: {runs[label][-1]['wall_s']:.1f} s")

    ratios = {
        "A/B": statistics.median(a["wall_s"] / b["wall_s"] for a, b in zip(runs["A"], runs["B"])),
        "A/C": statistics.median(a["wall_s"] / c["wall_s"] for a, c in zip(runs["A"], runs["C"])),
    }
    medians = {label: summarise(runs[label]) for label in "ABC"}

    same_job = {name: {label: probe_rendition(folders[label], name) for label in "AB"} for name in NAMES}
    checks = {name: {"same_size": r["A"]["size"] == r["B"]["size"],
                     "bitrate_within_10pct": abs(r["A"]["video_kbps"] / r["B"]["video_kbps"] - 1) <= 0.10,
                     "same_segments": r["A"]["segments"] == r["B"]["segments"]}
              for name, r in same_job.items()}

    long_folder = fresh_folder(work, "A60", key_info)
    long_run = measure(command_a(source60, NAMES), long_folder)
    per_second = {"20s": medians["A"]["wall_s"] / 20, "60s": long_run["wall_s"] / 60}

    by_count = {}
    for count in (1, 2):
        folder = fresh_folder(work, f"A{count}", key_info)
        by_count[count] = measure(command_a(source20, NAMES[:count]), folder)
    by_count[4] = medians["A"]

    report = {"rounds": args.rounds, "runs": runs, "medians": medians, "ratios": ratios,
              "same_job": same_job, "checks": checks, "a_60s": long_run,
              "a_cost_per_source_second": per_second, "a_by_rendition_count": by_count}
    RESULTS.mkdir(parents=True, exist_ok=True)
    (RESULTS / "bench.json").write_text(json.dumps(report, indent=2))
    print_table(report)
    plot(report)


def print_table(report: dict) -> None:
    medians = report["medians"]
    titles = {"A": "A kestrava", "B": "B ffmpeg, one process", "C": "C ffmpeg, four processes"}
    print(f"\n20 s 1080p source, four renditions, median of {report['rounds']} alternated rounds\n")
    print("| run | wall s | CPU s | cores used | peak RSS MiB |")
    print("|---|---:|---:|---:|---:|")
    for label, m in medians.items():
        print(f"| {titles[label]} | {m['wall_s']:.1f} | {m['cpu_s']:.1f} | {m['cores']:.2f} | {m['peak_rss_mib']:.0f} |")
    print(f"\nwall-time ratios (median of per-round ratios): A/B {report['ratios']['A/B']:.3f}, "
          f"A/C {report['ratios']['A/C']:.3f}")
    print("\n| rendition | A size | B size | A video kb/s | B video kb/s | A segments | B segments |")
    print("|---|---|---|---:|---:|---:|---:|")
    for name, r in report["same_job"].items():
        print(f"| {name} | {r['A']['size']} | {r['B']['size']} | {r['A']['video_kbps']:.0f} | "
              f"{r['B']['video_kbps']:.0f} | {r['A']['segments']} | {r['B']['segments']} |")
    ok = all(all(c.values()) for c in report["checks"].values())
    print(f"\nsame job as B (sizes, bit rates within 10%, segment counts): {'yes' if ok else 'NO'}")
    long_run, per_second = report["a_60s"], report["a_cost_per_source_second"]
    print(f"\nA cost per source second: 20 s source {per_second['20s']:.3f} s, 60 s source "
          f"{per_second['60s']:.3f} s ({per_second['60s'] / per_second['20s'] - 1:+.1%}); peak RSS "
          f"{medians['A']['peak_rss_mib']:.0f} MiB (20 s) vs {long_run['peak_rss_mib']:.0f} MiB (60 s)")
    print("\n| A renditions | wall s | CPU s | cores used | peak RSS MiB |")
    print("|---:|---:|---:|---:|---:|")
    for count, m in report["a_by_rendition_count"].items():
        print(f"| {count} | {m['wall_s']:.1f} | {m['cpu_s']:.1f} | {m['cores']:.2f} | {m['peak_rss_mib']:.0f} |")


def plot(report: dict) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (left, right) = plt.subplots(1, 2, figsize=(10, 4))
    labels = ["A kestrava", "B ffmpeg x1", "C ffmpeg x4"]
    left.bar(labels, [report["medians"][k]["wall_s"] for k in "ABC"], color=["#3465a4", "#888a85", "#babdb6"])
    left.set_ylabel("median wall time, s")
    left.set_title("20 s 1080p source, 4 renditions")
    counts = report["a_by_rendition_count"]
    right.bar([str(c) for c in counts], [m["wall_s"] for m in counts.values()], color="#3465a4")
    right.set_xlabel("renditions (largest first)")
    right.set_title("A by rendition count")
    figure.tight_layout()
    figure.savefig(RESULTS / "bench.png", dpi=100)


if __name__ == "__main__":
    main()
