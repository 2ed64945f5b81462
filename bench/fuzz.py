"""Mutation fuzzer for hls_encoder: seeded bit flips, truncations and chunk
duplications of small valid sources, each call in its own interpreter under a
time limit. Reports crashes (signals), hangs and outcomes; keeps the inputs
that crashed or hung.

Usage: python bench/fuzz.py --runs N [--seed S] [--jobs J] [--timeout T]
"""

import argparse
import collections
import concurrent.futures
import json
import pathlib
import random
import shutil
import signal
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
WORK = ROOT / "build" / "fuzz"
CALL = ("import sys, kestrava; "
        "kestrava.hls_encoder(sys.argv[1], 'master.m3u8', ['360p'], [300000], 'enc.keyinfo')")


def encode(path: pathlib.Path, *args: str) -> None:
    """Makes a seed; a failed encoding leaves none behind to be mutated."""
    partial = path.with_name("partial-" + path.name)
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", *args, str(partial)], check=True,
                   capture_output=True)
    partial.rename(path)


def encode_seed(path: pathlib.Path, *extra: str, layout: str = "stereo") -> None:
    encode(path, "-f", "lavfi", "-i", "testsrc2=size=128x96:rate=30:duration=1",
           "-f", "lavfi", "-i", "sine=sample_rate=48000:duration=1",
           "-c:v", "libx264", "-preset", "ultrafast", "-bf", "2", "-pix_fmt", "yuv420p",
           "-c:a", "aac", "-af", f"aformat=channel_layouts={layout}", *extra)


def make_seeds() -> list[pathlib.Path]:
    seeds_dir = WORK / "seeds"
    seeds_dir.mkdir(parents=True, exist_ok=True)
    seeds = []
    for name, extra in [("seed.mp4", ["-movflags", "+faststart"]), ("seed.ts", []), ("seed.mkv", [])]:
        path = seeds_dir / name
        if not path.exists():
            encode_seed(path, *extra)
        seeds.append(path)

    # A phone video: landscape pictures with a display matrix that turns them.
    phone = seeds_dir / "seed_phone.mp4"
    if not phone.exists():
        try:  # FFmpeg 6 and later
            encode(phone, "-display_rotation", "270", "-i", str(seeds[0]), "-c", "copy")
        except subprocess.CalledProcessError:  # FFmpeg 5.1
            encode(phone, "-i", str(seeds[0]), "-c", "copy", "-metadata:s:v:0", "rotate=90")
    seeds.append(phone)

    # A broadcast capture: the clock restarts and the audio turns from stereo to 5.1.
    joined = seeds_dir / "seed_joined.ts"
    if not joined.exists():
        surround = seeds_dir / "part_5_1.ts"
        encode_seed(surround, layout="5.1")
        joined.write_bytes(seeds[1].read_bytes() + surround.read_bytes())
    seeds.append(joined)

    # An HDR phone video: 10-bit HEVC with the HLG transfer and BT.2020 primaries.
    hdr = seeds_dir / "seed_hlg.mp4"
    if not hdr.exists():
        encode(hdr, "-f", "lavfi", "-i", "testsrc2=size=128x96:rate=30:duration=1",
               "-f", "lavfi", "-i", "sine=sample_rate=48000:duration=1", "-vf",
               "zscale=tin=bt709:min=bt709:pin=bt709:t=arib-std-b67:m=bt2020nc:p=bt2020:npl=203,format=yuv420p10le",
               "-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error",
               "-colorspace", "bt2020nc", "-color_primaries", "bt2020", "-color_trc", "arib-std-b67",
               "-c:a", "aac")
    seeds.append(hdr)

    # A camcorder capture: top-field-first interlaced H.264 in TS.
    interlaced = seeds_dir / "seed_interlaced.ts"
    if not interlaced.exists():
        encode(interlaced, "-f", "lavfi", "-i", "testsrc2=size=128x96:rate=60:duration=1",
               "-f", "lavfi", "-i", "sine=sample_rate=48000:duration=1",
               "-vf", "interlace=scan=tff,format=yuv420p", "-c:v", "libx264", "-preset", "ultrafast",
               "-flags", "+ildct+ilme", "-x264-params", "tff=1", "-c:a", "aac")
    seeds.append(interlaced)
    return seeds


def mutate(data: bytes, rng: random.Random) -> tuple[str, bytes]:
    kind = rng.choice(["flip", "truncate", "duplicate"])
    buffer = bytearray(data)
    if kind == "flip":
        for _ in range(rng.randint(1, 64)):
            position = rng.randrange(len(buffer))
            buffer[position] ^= 1 << rng.randrange(8)
    elif kind == "truncate":
        del buffer[rng.randrange(1, len(buffer)):]
    else:
        start = rng.randrange(len(buffer))
        chunk = buffer[start:start + rng.randint(1, 4096)]
        position = rng.randrange(len(buffer) + 1)
        buffer[position:position] = chunk * rng.randint(1, 3)
    return kind, bytes(buffer)


def outcome_of(folder: pathlib.Path) -> str:
    playlist = folder / "360p.m3u8"
    if not (folder / "master.m3u8").exists():
        return "nothing written"
    if not playlist.exists():
        return "rendition failed (no playlist)"
    if "#EXT-X-ENDLIST" in playlist.read_text():
        return "finished"
    return "rendition failed (unfinished playlist)"


def run_case(index: int, seeds: list[pathlib.Path], base_seed: int, timeout: float) -> dict:
    rng = random.Random(base_seed * 1_000_003 + index)
    seed = rng.choice(seeds)
    kind, data = mutate(seed.read_bytes(), rng)
    with tempfile.TemporaryDirectory(dir=WORK) as temporary:
        folder = pathlib.Path(temporary)
        source = folder / f"input{seed.suffix}"
        source.write_bytes(data)
        (folder / "enc.key").write_bytes(bytes(16))
        (folder / "enc.keyinfo").write_text(f"enc.key\n{folder / 'enc.key'}\n")
        case = {"index": index, "seed": seed.name, "mutation": kind}
        try:
            result = subprocess.run([sys.executable, "-c", CALL, str(source)], cwd=folder,
                                    capture_output=True, timeout=timeout)
        except subprocess.TimeoutExpired:
            case["result"] = "hang"
        else:
            if result.returncode < 0:
                case["result"] = f"crash ({signal.Signals(-result.returncode).name})"
            elif result.returncode != 0:
                case["result"] = "python error"
                case["stderr"] = result.stderr.decode(errors="replace")[-2000:]
            else:
                case["result"] = "returned"
                case["outcome"] = outcome_of(folder)
        if case["result"] not in ("returned",):
            keep = WORK / "findings"
            keep.mkdir(exist_ok=True)
            kept = keep / f"case{index}_{kind}{seed.suffix}"
            shutil.copy(source, kept)
            case["input"] = str(kept)
        return case


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--timeout", type=float, default=60)
    args = parser.parse_args()

    WORK.mkdir(parents=True, exist_ok=True)
    seeds = make_seeds()
    cases = []
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        futures = [pool.submit(run_case, i, seeds, args.seed, args.timeout) for i in range(args.runs)]
        for done, future in enumerate(concurrent.futures.as_completed(futures), 1):
            cases.append(future.result())
            if done % 100 == 0:
                print(f"{done}/{args.runs} runs", flush=True)
    cases.sort(key=lambda case: case["index"])

    results = collections.Counter(case["result"] for case in cases)
    outcomes = collections.Counter(case.get("outcome") for case in cases if "outcome" in case)
    mutations = collections.Counter(case["mutation"] for case in cases)
    report = {"runs": args.runs, "seed": args.seed, "results": results, "outcomes": outcomes,
              "mutations": mutations, "findings": [c for c in cases if c["result"] != "returned"]}
    (WORK / "report.json").write_text(json.dumps(report, indent=2))
    print(f"\n{args.runs} runs (seed {args.seed}); mutations: {dict(mutations)}")
    print("| result | runs |\n|---|---:|")
    for result, count in results.most_common():
        print(f"| {result} | {count} |")
    print("\n| outcome of calls that returned | runs |\n|---|---:|")
    for outcome, count in outcomes.most_common():
        print(f"| {outcome} | {count} |")
    for finding in report["findings"]:
        print(f"finding: case {finding['index']} {finding['result']} ({finding['mutation']} of "
              f"{finding['seed']}) kept at {finding['input']}")
    crashes_or_hangs = sum(1 for c in cases if c["result"].startswith(("crash", "hang")))
    return 1 if crashes_or_hangs else 0


if __name__ == "__main__":
    sys.exit(main())
