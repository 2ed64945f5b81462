"""What a Python caller sees of the module: docstrings, signature, argument conversion, import check."""

import importlib
import pathlib
import shutil
import subprocess
import sys
import threading
import time

import pytest

import kestrava
from helpers import needs_unsanitized_module, quiet
from media import master_lines, run_job, stream_inf, write_key_info

SIGNATURE = (
    "hls_encoder(input: str, output: str, "
    "resolution: collections.abc.Sequence[str] = ['1080p', '720p', '480p', '360p'], "
    "bitrate: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex] = "
    "[5000000, 2500000, 1000000, 400000], key: str = 'enc.keyinfo') -> None"
)


def test_docstrings_and_signature():
    assert kestrava.__doc__ == (
        "HLS Video Transcoding C++ Engine Binding that gave the real power of c++ in python")
    assert kestrava.hls_encoder.__doc__ == (
        SIGNATURE + "\n\nTranscode video to HLS with dynamic ABR\n")
    assert kestrava.hls_encoder.__name__ == "hls_encoder"
    public = sorted(name for name in dir(kestrava) if not name.startswith("_"))
    assert public == ["hls_encoder"]


def test_stub_installed_beside_module_matches_signature():
    stub = pathlib.Path(kestrava.__file__).with_name("kestrava.pyi")
    text = stub.read_text()
    assert f"def {SIGNATURE}:" in text
    assert '"""Transcode video to HLS with dynamic ABR"""' in text


def test_reimport_gives_the_same_module():
    first = sys.modules.pop("kestrava")
    try:
        again = importlib.import_module("kestrava")
        assert again is first
        assert again.hls_encoder is first.hls_encoder
    finally:
        sys.modules["kestrava"] = first


@pytest.mark.parametrize("args, kwargs", [
    pytest.param((), {}, id="no-arguments"),
    pytest.param(("in.mp4",), {}, id="input-only"),
    pytest.param(("in.mp4", "out.m3u8", "720p"), {}, id="bare-str-resolution"),
    pytest.param(("in.mp4", "out.m3u8", b"720p"), {}, id="bare-bytes-resolution"),
    pytest.param(("in.mp4", "out.m3u8", ["720p", 7]), {}, id="non-text-name"),
    pytest.param(("in.mp4", "out.m3u8", ["720p"], [2500000.0]), {}, id="float-bitrate"),
    pytest.param(("in.mp4", "out.m3u8", ["720p"], [2147483648]), {}, id="bitrate-over-int32"),
    pytest.param(("in.mp4", "out.m3u8", ["720p"], [-2147483649]), {}, id="bitrate-under-int32"),
    pytest.param(("in.mp4", "out.m3u8", ["720p"], ["fast"]), {}, id="text-bitrate"),
    pytest.param((None, "out.m3u8"), {}, id="none-input"),
    pytest.param((pathlib.Path("in.mp4"), "out.m3u8"), {}, id="path-input"),
    pytest.param(("in.mp4", 5), {}, id="number-output"),
    pytest.param(("in.mp4", "out.m3u8"), {"key": pathlib.Path("k")}, id="path-key"),
    pytest.param(("in\udc80.mp4", "out.m3u8"), {}, id="lone-surrogate"),
    pytest.param(("in.mp4", "out.m3u8"), {"keys": "enc.keyinfo"}, id="unknown-keyword"),
    pytest.param(("in.mp4", "out.m3u8"), {"input": "in.mp4"}, id="given-twice"),
])
def test_rejected_arguments_raise_type_error_before_any_work(tmp_path, monkeypatch, args, kwargs):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(TypeError) as raised:
        kestrava.hls_encoder(*args, **kwargs)
    message = str(raised.value)
    assert message.startswith("hls_encoder(): incompatible function arguments. "
                              "The following argument types are supported:")
    assert SIGNATURE[len("hls_encoder"):] in message
    assert "Invoked with: " in message
    assert list(tmp_path.iterdir()) == []


def variants(master: pathlib.Path) -> list[tuple[str, str]]:
    return stream_inf(master_lines(master))


def test_accepted_conversions(tmp_path, video_only):
    """bytes and bytearray paths, tuples, generators and views, the int32 limits, __index__ objects."""
    class Index:
        def __index__(self):
            return 300000

    assert run_job(tmp_path, bytes(video_only), bytearray(b"a.m3u8"), ("720p",), [2147483647]) is None
    assert variants(tmp_path / "a.m3u8") == [("BANDWIDTH=2147483647,RESOLUTION=1280x720", "720p.m3u8")]

    run_job(tmp_path, str(video_only), "b.m3u8", (n for n in ["480p", "360p"]),
            {1: -2147483648, 2: True}.values(), key=b"enc.keyinfo")
    assert variants(tmp_path / "b.m3u8") == [
        ("BANDWIDTH=-2147483648,RESOLUTION=854x480", "480p.m3u8"),
        ("BANDWIDTH=1,RESOLUTION=640x360", "360p.m3u8"),
    ]

    run_job(tmp_path, output="c.m3u8", key="enc.keyinfo", bitrate=map(int, ["7"]),
            resolution=["360p", "480p"], input=str(video_only))
    run_job(tmp_path, str(video_only), "d.m3u8", ["360p"], (Index(),))
    assert variants(tmp_path / "c.m3u8") == [
        ("BANDWIDTH=7,RESOLUTION=640x360", "360p.m3u8"),
        ("BANDWIDTH=1000000,RESOLUTION=854x480", "480p.m3u8"),
    ]
    assert variants(tmp_path / "d.m3u8") == [("BANDWIDTH=300000,RESOLUTION=640x360", "360p.m3u8")]


def test_defaults_run_the_whole_ladder(tmp_path, video_only):
    assert run_job(tmp_path, str(video_only), "master.m3u8") is None
    assert variants(tmp_path / "master.m3u8") == [
        ("BANDWIDTH=5000000,RESOLUTION=1920x1080", "1080p.m3u8"),
        ("BANDWIDTH=2500000,RESOLUTION=1280x720", "720p.m3u8"),
        ("BANDWIDTH=1000000,RESOLUTION=854x480", "480p.m3u8"),
        ("BANDWIDTH=400000,RESOLUTION=640x360", "360p.m3u8"),
    ]


def other_python() -> str | None:
    """An interpreter that is not 3.10 (the machine's default python3 is 3.11)."""
    candidates = ["python3.11", "python3", "python3.12", *map(str, pathlib.Path.home().glob(
        ".pyenv/versions/3.1[1-9]*/bin/python3"))]
    for candidate in candidates:
        found = shutil.which(candidate) or (candidate if pathlib.Path(candidate).exists() else None)
        if not found:
            continue
        probe = subprocess.run([found, "-c", "import sys; print(sys.version_info[:2] != (3, 10))"],
                               capture_output=True, text=True)
        if probe.returncode == 0 and probe.stdout.strip() == "True":
            return found
    return None


@needs_unsanitized_module
def test_import_under_another_python_fails_with_version_message(tmp_path):
    python = other_python()
    if python is None:
        pytest.skip("no interpreter other than 3.10 on this machine")
    shutil.copy(kestrava.__file__, tmp_path / "kestrava.so")
    script = (
        "import sys\n"
        "sys.path.insert(0, '.')\n"
        "try:\n"
        "    import kestrava\n"
        "except ImportError as error:\n"
        "    expected = ('Python version mismatch: module was compiled for Python 3.10, but the '\n"
        "                'interpreter version is incompatible: ' + sys.version + '.')\n"
        "    print('same' if str(error) == expected else 'differs: ' + repr(str(error)))\n"
        "else:\n"
        "    print('imported')\n"
    )
    result = subprocess.run([python, "-I", "-c", script], cwd=tmp_path, capture_output=True, text=True)
    assert result.stdout.strip() == "same", result.stdout + result.stderr


@quiet
def test_gil_is_held_for_the_whole_call(tmp_path, short_av):
    write_key_info(tmp_path)
    """Another Python thread gets no turn while a job runs."""
    ticks: list[float] = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    thread = threading.Thread(target=ticker)
    thread.start()
    time.sleep(0.05)
    started = time.monotonic()
    run_job(tmp_path, str(short_av), "master.m3u8", ["360p"])
    duration = time.monotonic() - started
    stop.set()
    thread.join()
    longest_pause = max(b - a for a, b in zip(ticks, ticks[1:]))
    assert duration > 0.3, "the job was too short to show anything"
    assert longest_pause >= 0.9 * duration
