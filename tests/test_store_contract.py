"""What every home of a package must do, whatever stores it: the package's files and the
job's state beside them, through their two interfaces only. Each implementation runs
every case; what one does inside (renames, inodes) is tested with it."""

import os
import pathlib
import threading
from collections.abc import Iterator

import pytest

from kestrava_jobs import PackageBusy, PackageResult
from kestrava_jobs.storage.locations import package_at
from kestrava_jobs.storage.seam import JobState, Package


@pytest.fixture(params=["folder", "bucket"])
def home(request, tmp_path, monkeypatch) -> Iterator[tuple[Package, JobState]]:
    if request.param == "folder":
        package = package_at(tmp_path / "package")
    else:
        s3 = request.getfixturevalue("s3")
        for name, value in {**s3.environment(), "KESTRAVA_SCRATCH": str(tmp_path)}.items():
            monkeypatch.setenv(name, value)
        package = package_at(f"s3://{s3.new_bucket()}/media/package")
    package.prepare()
    yield package, package.state
    package.finish()


def rendition_in(work: pathlib.Path, segments: int = 3) -> pathlib.Path:
    work.mkdir()
    listing = "".join(f"#EXTINF:2.0,\n360p_{number:03d}.ts\n" for number in range(segments))
    for number in range(segments):
        (work / f"360p_{number:03d}.ts").write_bytes(bytes([number]) * 188)
    (work / "360p.m3u8").write_text(f"#EXTM3U\n{listing}#EXT-X-ENDLIST\n")
    return work


def test_a_rendition_goes_in_whole_and_its_playlist_last(home, tmp_path):
    package, _ = home
    work = rendition_in(tmp_path / "broken")
    (work / "360p_002.ts").unlink()  # a segment the playlist lists is missing
    with pytest.raises(OSError):
        package.put_rendition(work, "360p")
    assert not package.has("360p.m3u8"), "no playlist names a segment the package lacks"
    package.put_rendition(rendition_in(tmp_path / "work"), "360p")
    assert [name for name in package.names() if name.startswith("360p")] == [
        "360p.m3u8", "360p_000.ts", "360p_001.ts", "360p_002.ts"]
    assert package.read("360p_001.ts") == bytes([1]) * 188


def test_the_master_and_side_files_are_replaced_whole_and_what_the_job_put_goes_again(home):
    package, state = home
    for text in ("#EXTM3U\nfirst\n", "#EXTM3U\nsecond\n"):
        package.put_master(text)
        package.put_side_file("poster.jpg", text.encode())
    assert (package.read("master.m3u8"), package.read("poster.jpg")) == (b"#EXTM3U\nsecond\n", b"#EXTM3U\nsecond\n")
    assert package.names() == ["master.m3u8", "poster.jpg"], "no half-written file is left"
    result = PackageResult(source="in.mp4", out_dir=package.location, master=package.location_of("master.m3u8"),
                           log=state.log_location, seconds=1.0)
    state.write_record("job-1", result)
    package.remove_put(created=False)
    assert (package.exists(), package.names()) == (True, [])
    assert state.read_record() == ("job-1", result), "the job's state is not the package's to remove"


def test_a_claim_is_refused_while_its_job_lives_and_taken_once_it_does_not(home):
    _, state = home
    state.claim("first", lambda job: False)
    with pytest.raises(PackageBusy) as busy:
        state.claim("second", lambda job: job == "first")
    assert (busy.value.job_id, state.holder()) == ("first", "first")
    state.claim("second", lambda job: False)
    state.release("first")
    assert state.holder() == "second", "only the holder releases its claim"
    state.release("second")
    assert state.holder() == ""


def test_of_jobs_that_claim_at_once_exactly_one_wins_and_a_holding_job_keeps_others_out(home):
    """Eight jobs take over one stale claim at once: one of them wins."""
    _, state = home
    state.claim("ended", lambda holder: False)
    won, start = [], threading.Barrier(8)

    def claim(job: str) -> None:
        start.wait()
        try:
            state.claim(job, lambda holder: holder != "ended")
            won.append(job)
        except PackageBusy:
            pass
    claims = [threading.Thread(target=claim, args=(f"job-{number}",)) for number in range(8)]
    for thread in claims:
        thread.start()
    for thread in claims:
        thread.join()
    assert len(won) == 1 and state.holder() == won[0]
    state.release(won[0])
    with state.holding("running") as previous:
        with pytest.raises(PackageBusy):
            with state.holding("duplicate"):
                pass
        with pytest.raises(PackageBusy):
            state.claim("spread", lambda holder: False)
    assert previous == ""
    with state.holding("next") as previous:
        assert previous == "running", "the holder of a claim whose job ended is named"


def test_the_log_is_written_through_the_state_and_each_job_starts_it_anew(home):
    _, state = home
    for words in (b"an earlier attempt's words\n", b"this job's\n"):
        with state.writing_log() as log:
            os.write(log, words)
    assert state.read_log() == "this job's\n"
    with pytest.raises(OSError):
        os.write(log, b"after the block")  # the state keeps the descriptor, and closes it
