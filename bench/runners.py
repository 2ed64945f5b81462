"""The three ways of doing the same ladder, each run as its own process tree and measured.

A: kestrava.hls_encoder; B: one ffmpeg process (decode once, split); C: four
ffmpeg processes at once, one per rendition.
"""

import pathlib
import resource
import shutil
import subprocess
import sys
import threading
import time

from kestrava_jobs import ladder

LADDER = [(rung.name, rung.wide, rung.narrow, rung.bitrate) for rung in ladder.LADDER]
LOUDNESS = "loudnorm=I=-14:LRA=11:TP=-1.5,aformat=sample_fmts=fltp:sample_rates=44100:channel_layouts=stereo"
X264 = ["-c:v", "libx264", "-preset", "fast", "-g", "60", "-keyint_min", "60", "-sc_threshold", "0"]
AAC = ["-c:a", "aac", "-b:a", "128k"]


def hls_options(key_info: pathlib.Path) -> list[str]:
    return ["-f", "hls", "-hls_time", "6", "-hls_list_size", "0", "-hls_key_info_file", str(key_info)]


def command_a(source, names) -> list[list[str]]:
    bitrates = [rate for name, _, _, rate in LADDER if name in names]
    code = ("import kestrava, sys; "
            f"kestrava.hls_encoder({str(source)!r}, 'master.m3u8', {list(names)!r}, {bitrates!r}, 'enc.keyinfo')")
    return [[sys.executable, "-c", code]]


def command_b(source, key_info) -> list[list[str]]:
    n = len(LADDER)
    graph = [f"[0:v]split={n}" + "".join(f"[v{i}]" for i in range(n))]
    graph += [f"[v{i}]scale={w}:{h}:flags=bicubic[vo{i}]" for i, (_, w, h, _) in enumerate(LADDER)]
    graph += [f"[0:a]{LOUDNESS},asplit={n}" + "".join(f"[ao{i}]" for i in range(n))]
    args = ["ffmpeg", "-v", "error", "-nostdin", "-y", "-i", str(source),
            "-filter_complex", ";".join(graph)]
    for i, (_, _, _, rate) in enumerate(LADDER):
        args += ["-map", f"[vo{i}]", "-map", f"[ao{i}]", f"-b:v:{i}", str(rate)]
    args += X264 + AAC + hls_options(key_info)
    args += ["-hls_segment_filename", "%v_%03d.ts",
             "-var_stream_map", " ".join(f"v:{i},a:{i},name:{name}" for i, (name, *_rest) in enumerate(LADDER)),
             "-master_pl_name", "master.m3u8", "%v.m3u8"]
    return [args]


def command_c(source, key_info) -> list[list[str]]:
    return [["ffmpeg", "-v", "error", "-nostdin", "-y", "-i", str(source),
             "-vf", f"scale={w}:{h}:flags=bicubic", "-af", LOUDNESS, *X264, "-b:v", str(rate), *AAC,
             *hls_options(key_info), "-hls_segment_filename", f"{name}_%03d.ts", f"{name}.m3u8"]
            for name, w, h, rate in LADDER]


def rss_kib(pid: int) -> int:
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def measure(commands: list[list[str]], folder: pathlib.Path) -> dict:
    """Runs the commands at once in `folder`; wall time, CPU of the tree and its peak RSS."""
    if folder.exists():
        for old in folder.glob("*.m3u8"):
            old.unlink()
        for old in folder.glob("*.ts"):
            old.unlink()
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    processes = [subprocess.Popen(command, cwd=folder, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL) for command in commands]
    peak = 0
    done = threading.Event()

    def sample():
        nonlocal peak
        while not done.is_set():
            peak = max(peak, sum(rss_kib(p.pid) for p in processes))
            time.sleep(0.05)

    sampler = threading.Thread(target=sample)
    sampler.start()
    codes = [p.wait() for p in processes]
    wall = time.perf_counter() - started
    done.set()
    sampler.join()
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    if any(codes):
        raise RuntimeError(f"a benchmark process failed: {codes} for {commands[0][:3]}")
    return {"wall_s": wall, "cpu_s": cpu, "cores": cpu / wall, "peak_rss_mib": peak / 1024}


def fresh_folder(root: pathlib.Path, name: str, key_info: pathlib.Path) -> pathlib.Path:
    folder = root / name
    folder.mkdir(parents=True, exist_ok=True)
    for item in ("enc.key", "enc.keyinfo"):
        shutil.copy(key_info.with_name(item), folder / item)
    return folder
