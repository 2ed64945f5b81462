"""kestrava_jobs as an attacker and bad luck try it: keys stay secret, files stay where
they belong, one job per folder, results that tell the truth."""

import ctypes
import logging
import os
import pathlib
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest
from helpers import job_children, needs_unsanitized_module, quiet, running
from media import decrypt_segment, ffprobe, make_source, wait_for

from kestrava_jobs import PackageTimeout, UnreadableSource, package_video
from kestrava_jobs.cluster.confine import confine
from kestrava_jobs.common.deadline import Deadline
from kestrava_jobs.hls.check import RenditionIncomplete, check_rendition
from kestrava_jobs.storage.folder import LocalFiles
from kestrava_jobs.storage.keys import ready_key_dir

pytestmark = needs_unsanitized_module


@pytest.fixture(scope="session")
def source(media_dir) -> pathlib.Path:
    """Long enough at 1280x720 for a job to be caught mid-way."""
    return make_source(media_dir / "hardening_1280x720.mp4", seconds=3, size="1280x720")


def cmdlines() -> list[bytes]:
    found = []
    for entry in pathlib.Path("/proc").iterdir():
        try:
            found.append((entry / "cmdline").read_bytes())
        except OSError:
            pass
    return found


def test_the_key_reaches_no_command_line_log_or_result(tmp_path, source, caplog, monkeypatch):
    created = []
    real_open = os.open

    def spy(path, flags, mode=0o777, **kwargs):
        created.append((str(path), flags, mode))
        return real_open(path, flags, mode, **kwargs)

    monkeypatch.setattr(os, "open", spy)
    seen: set[bytes] = set()
    done = threading.Event()

    def poll():
        while not done.wait(0.005):
            seen.update(cmdlines())

    # A key folder someone made readable to all is closed before a key goes in.
    keys = tmp_path / "keys"
    keys.mkdir()
    keys.chmod(0o755)
    poller = threading.Thread(target=poll)
    poller.start()
    try:
        with caplog.at_level(logging.DEBUG, logger="kestrava_jobs"):
            result = package_video(source, tmp_path / "out", resolution=["360p", "480p"], key_dir=keys)
    finally:
        done.set()
        poller.join()
    key = pathlib.Path(result.key_file).read_bytes()
    texts = [b"".join(seen), caplog.text.encode(), repr(result).encode(), str(result.to_dict()).encode()]
    assert not [text for text in texts if key.hex().encode() in text.lower() or key in text]
    # The key file is made exclusively, without following a link, 0600 from the first byte.
    opened = [(flags, mode) for path, flags, mode in created if path == result.key_file and flags & os.O_CREAT]
    assert opened and all(flags & os.O_EXCL and flags & os.O_NOFOLLOW and mode == 0o600 for flags, mode in opened)
    assert oct(os.stat(result.key_file).st_mode & 0o777) == "0o600"
    assert oct(keys.stat().st_mode & 0o777) == "0o700"


@pytest.mark.parametrize("mode", [0o750, 0o705])
def test_a_key_folder_open_to_its_group_or_to_others_is_closed(tmp_path, mode):
    keys = tmp_path / "keys"
    keys.mkdir()
    keys.chmod(mode)
    assert ready_key_dir(keys) == keys and oct(keys.stat().st_mode & 0o777) == "0o700"


@pytest.mark.parametrize("planted", ["out.log", "out.lock", "out.done.json"])
@pytest.mark.parametrize("how", ["link", "hard_link", "foreign_file"])
def test_planted_links_and_files_are_refused(tmp_path, source, planted, how):
    victim = tmp_path / "victim.conf"
    victim.write_text("root-only settings\n")
    if how == "link":
        (tmp_path / planted).symlink_to(victim)
    elif how == "hard_link":
        os.link(victim, tmp_path / planted)
    else:
        if os.geteuid() != 0:
            pytest.skip("needs root to make a file of another user")
        (tmp_path / planted).write_text("planted\n")
        os.chown(tmp_path / planted, 65534, 65534)
    with pytest.raises(PermissionError, match="not a file this job made"):
        package_video(source, tmp_path / "out", resolution=["360p"])
    assert victim.read_text() == "root-only settings\n"
    assert planted == "out.log" or not (tmp_path / "out.log").exists(), "refused before any work"
    assert not (tmp_path / "out").exists() or not any((tmp_path / "out").iterdir())


def test_a_protocol_source_is_a_url_to_the_checks_and_to_the_confinement(tmp_path):
    """FFmpeg reads "concat:a|b" through its protocol, not as a file named so in the current
    folder: the job's checks and the confinement of broker messages take it as the URL it is."""
    source = "concat:/no/such.mp4|/no/such.mp4"
    with pytest.raises(UnreadableSource, match="not a video or audio file FFmpeg can read"):
        package_video(source, tmp_path / "out")
    with pytest.raises(ValueError, match="URL sources are not accepted"):
        confine(source, str(tmp_path / "out"), {})
    assert sorted(p.name for p in tmp_path.iterdir()) == []


@pytest.mark.parametrize("arguments, error", [
    ({"key_uri": "enc.key\n/dev/zero\n" + "0" * 32}, ValueError),
    ({"key_uri": 'enc.key" x="'}, ValueError),
    ({"key_uri": 'enc.key"'}, ValueError),
    ({"resolution": "360p"}, TypeError),
    ({"resolution": []}, ValueError),
    ({"resolution": ["360p", "1440p"]}, ValueError),
    ({"resolution": ["360p"], "bitrate": [3_000_000_000]}, ValueError),
    ({"resolution": ["360p"], "bitrate": [-400_000]}, ValueError),
    ({"timeout": float("nan")}, ValueError),
    ({"source": "missing.mp4"}, FileNotFoundError),
    ({"source": "."}, IsADirectoryError),
    ({"out_dir": "new\nline"}, ValueError),
    ({"out_dir": "x" * 250}, ValueError),
])
def test_bad_arguments_are_refused_before_any_file_is_made(tmp_path, source, key_dir, arguments, error):
    keys_before = set(key_dir.iterdir())
    given = {"source": source, "out_dir": "out", **arguments}
    with pytest.raises(error) as raised:
        package_video(tmp_path / given.pop("source"), tmp_path / given.pop("out_dir"), **given)
    assert "\n" not in str(raised.value)
    assert sorted(p.name for p in tmp_path.iterdir()) == []
    assert set(key_dir.iterdir()) == keys_before


def test_a_read_only_place_is_reported_as_one(tmp_path, source):
    """Not as a refusal of a planted file: root writes through modes, so a read-only mount."""
    place = tmp_path / "ro"
    place.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "ro,size=64k", "tmpfs", str(place)],
                      capture_output=True).returncode != 0:
        pytest.skip("mounting a read-only file system is not permitted here")
    try:
        run = subprocess.run([sys.executable, "-m", "kestrava_jobs", str(source), str(place / "pkg")],
                             capture_output=True, text=True)
    finally:
        subprocess.run(["umount", str(place)], check=True)
    assert (run.returncode, run.stdout) == (1, "")
    assert run.stderr == f"{source}: {place / 'pkg.lock'}: read-only file system\n"


@quiet
def test_a_second_job_on_a_folder_fails_at_once_and_harms_nothing(tmp_path, source):
    out = tmp_path / "out"
    outcome = {}
    first = threading.Thread(target=lambda: outcome.update(result=package_video(source, out, resolution=["720p"])))
    first.start()
    wait_for(lambda: job_children(out), 30, "the first job's child")
    started = time.monotonic()
    with pytest.raises(FileExistsError, match="another job"):
        package_video(source, out, resolution=["360p"])
    assert time.monotonic() - started < 1
    first.join()
    result = outcome["result"]
    key_info = pathlib.Path(result.key_file).with_suffix(".keyinfo").read_text().splitlines()
    plain = decrypt_segment(out / "720p_000.ts", pathlib.Path(result.key_file).read_bytes(), key_info[2],
                            tmp_path / "plain.ts")
    assert ffprobe("-show_streams", str(plain))["streams"][0]["width"] == 1280


def test_segments_cut_short_make_a_failed_rendition_and_an_empty_folder(tmp_path, source):
    """A per-file size limit cuts the segments; the playlist still lists them whole."""
    code = ("import sys; from kestrava_jobs import package_video, PackageError\n"
            "try: package_video(sys.argv[1], sys.argv[2], resolution=['360p'], bitrate=[2000000])\n"
            "except PackageError as error: print('failed', error.result.failed, error); sys.exit(3)\n")
    limit = 300 * 1024

    def limited():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    run = subprocess.run([sys.executable, "-c", code, str(source), str(tmp_path / "out")], preexec_fn=limited,
                         capture_output=True, text=True)
    assert run.returncode == 3, run.stdout + run.stderr
    assert "failed ['360p']" in run.stdout
    assert re.search(r"came out complete: 360p: 360p_\d{3}\.ts (does not decrypt under the job's key|holds [0-9.]+ s "
                     r"where its playlist lists [0-9.]+ s)", run.stdout)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.lock", "out.log"]


@pytest.mark.parametrize("spoil", ["listed_half_a_second_long", "16_bytes_short"])
def test_the_check_finds_a_segment_unlike_its_playlist(tmp_path, packaged, spoil):
    out = shutil.copytree(packaged[0], tmp_path / "out")
    playlist, segment = out / "360p.m3u8", out / "360p_000.ts"
    if spoil == "16_bytes_short":
        segment.write_bytes(segment.read_bytes()[:-16])
        reason = r"360p_000\.ts does not decrypt under the job's key"
    else:
        playlist.write_text(re.sub(r"#EXTINF:([0-9.]+)", lambda m: f"#EXTINF:{float(m[1]) + 0.5:.6f}",
                                   playlist.read_text()))
        reason = r"360p_000\.ts holds 2\.\d+ s where its playlist lists 2\.5\d+ s"
    with pytest.raises(RenditionIncomplete, match=reason):
        check_rendition(LocalFiles(out), "360p", packaged[1], Deadline(None))


@quiet
def test_the_time_out_bounds_a_source_that_never_answers(tmp_path):
    with socket.socket() as server:
        server.bind(("127.0.0.1", 0))
        server.listen()
        started = time.monotonic()
        with pytest.raises(PackageTimeout):
            package_video(f"http://127.0.0.1:{server.getsockname()[1]}/upload.mp4", tmp_path / "out",
                          resolution=["360p"], timeout=2)
    assert time.monotonic() - started < 2 + 3
    # The probe ran out of time before any file was made.
    assert sorted(p.name for p in tmp_path.iterdir()) == []
    # The folder is free and as it was: the retry works.
    assert package_video(make_source(tmp_path / "retry.mp4", seconds=1), tmp_path / "out",
                         resolution=["360p"]).complete == ["360p"]


def interrupt(pid: int, to_a_job_thread: bool) -> None:
    """SIGINT to the process, which the kernel may give any of its threads, or to one of
    the threads that run its jobs."""
    if not to_a_job_thread:
        os.kill(pid, signal.SIGINT)
        return
    thread = max(int(task.name) for task in pathlib.Path(f"/proc/{pid}/task").iterdir())
    assert thread != pid and ctypes.CDLL(None, use_errno=True).tgkill(pid, thread, signal.SIGINT) == 0


@quiet
@pytest.mark.parametrize("batch, to_a_job_thread", [(False, False), (True, False), (False, True)])
def test_ctrl_c_in_the_command_stops_every_job(tmp_path, source, batch, to_a_job_thread):
    sources = [str(source), str(source.with_name("hardening_copy.mp4"))] if batch else [str(source)]
    if batch and not pathlib.Path(sources[1]).exists():
        pathlib.Path(sources[1]).write_bytes(source.read_bytes())
    out = tmp_path / "out"
    # Started as from a terminal: a run started in the background ignores SIGINT, and so
    # would the command, rightly.
    before = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        command = subprocess.Popen([sys.executable, "-m", "kestrava_jobs", *sources, str(out), "--jobs", "2",
                                    "--resolution", "1080p,720p"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   text=True)
    finally:
        signal.signal(signal.SIGINT, before)
    folders = [out / "hardening_1280x720", out / "hardening_copy"] if batch else [out]
    children = wait_for(lambda: (found := [c for f in folders for c in job_children(f)]) and
                        len(found) == len(folders) and found, 60, "every job's child")
    started = time.monotonic()
    interrupt(command.pid, to_a_job_thread)
    _, stderr = command.communicate(timeout=10)
    assert time.monotonic() - started < 2
    assert command.returncode == 130
    assert len(stderr.strip().splitlines()) == 1 and "Traceback" not in stderr
    assert not [child for child in children if running(child)]
    assert all(not folder.exists() for folder in folders)


def test_batch_names_that_clash_are_refused_before_any_work(tmp_path, media_dir):
    clip = make_source(media_dir / "batch_a.mp4", seconds=1, size="160x120")
    names = ["..mp4", "a.mp4", "a.mov", "a.log.mp4"]
    for name in names:
        (tmp_path / name).write_bytes(clip.read_bytes())
    run = subprocess.run([sys.executable, "-m", "kestrava_jobs", *(str(tmp_path / n) for n in names),
                          str(tmp_path / "root")], capture_output=True, text=True)
    assert run.returncode == 2
    assert "'.'" in run.stdout + run.stderr and "'a.log'" in run.stdout + run.stderr
    assert "'a'" in run.stdout + run.stderr
    assert not (tmp_path / "root").exists()
