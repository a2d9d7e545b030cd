"""`velka create` and `velka verify`, run as the installed command."""

import json
import os
import pty
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from emulation import EMULATED
from processes import interruptible

from velka.torrent import load

VELKA = Path(sys.executable).with_name("velka")


def velka(*args, cwd=None, env=None, check=None):
    if EMULATED:
        pytest.skip("the command's runs are tested on the native CPU")
    result = subprocess.run(
        [VELKA, *map(str, args)],
        stdin=subprocess.DEVNULL,
        capture_output=True,
        timeout=120,
        cwd=cwd,
        env=env,
    )
    if check is not None:
        assert result.returncode == check, result.stderr.decode()
    return result


@pytest.fixture
def share(tmp_path):
    root = tmp_path / "share"
    (root / "sub").mkdir(parents=True)
    (root / "sub" / "a").write_bytes(b"a" * 40000)
    (root / "b").write_bytes(b"b" * 100)
    return root


def printed_hashes(output):
    return dict(line.split(": ") for line in output.decode().splitlines())


def test_create_writes_name_torrent_and_prints_its_hashes(share, tmp_path):
    result = velka(
        "create",
        share,
        "-t",
        "http://tracker.invalid/a,http://tracker.invalid/b",
        cwd=tmp_path,
        check=0,
    )
    torrent = load(tmp_path / "share.torrent")
    assert printed_hashes(result.stdout) == {
        "info-hash v1": torrent.info_hash_v1,
        "info-hash v2": torrent.info_hash_v2,
    }
    assert torrent.trackers == [["http://tracker.invalid/a", "http://tracker.invalid/b"]]
    assert result.stderr == b""  # no progress line when standard error is not a terminal


def test_create_options(share, tmp_path):
    out = tmp_path / "x.torrent"
    velka(
        "create",
        share,
        "-o",
        out,
        "--v2",
        "--name",
        "other",
        "--piece-length",
        "32K",
        "-t",
        "http://tracker.invalid/1",
        "-t",
        "http://tracker.invalid/2",
        "--web-seed",
        "http://example.com/",
        "--private",
        "--source",
        "S",
        "--comment",
        "C",
        "--no-date",
        "--threads",
        "1",
        "--exclude",
        "b",
        "-q",
        check=0,
    )
    torrent = load(out)
    assert torrent.versions == (2,) and torrent.name == "other" and torrent.piece_length == 32768
    assert torrent.trackers == [["http://tracker.invalid/1"], ["http://tracker.invalid/2"]]
    assert torrent.web_seeds == ["http://example.com/"]
    assert torrent.private and torrent.source == "S" and torrent.comment == "C"
    assert torrent.creation_date is None
    assert [f.path for f in torrent.files] == [("sub", "a")]


def test_create_to_standard_output_is_reproducible(share):
    env = {**os.environ, "SOURCE_DATE_EPOCH": "1700000000"}
    one = velka("create", share, "-o", "-", env=env, check=0)
    two = velka("create", share, "-o", "-", "--threads", "1", env=env, check=0)
    assert one.stdout == two.stdout
    torrent = load(one.stdout)
    assert torrent.creation_date == 1700000000
    assert printed_hashes(one.stderr)["info-hash v1"] == torrent.info_hash_v1


def test_the_old_output_in_the_folder_is_left_out(share):
    velka("create", ".", "--v1", cwd=share, check=0)
    first = load(share / "share.torrent")
    velka("create", ".", "--v1", "--force", cwd=share, check=0)
    assert load(share / "share.torrent").info_hash_v1 == first.info_hash_v1


@pytest.mark.parametrize(
    ("args", "status", "message"),
    [
        (["{missing}"], 1, "{missing}: No such file or directory"),
        (["{empty}"], 1, "{empty}: nothing to hash: no files"),
        (["{share}", "--exclude", "*"], 1, "nothing to hash"),
        (["{share}", "--piece-length", "3000"], 1, "--piece-length: piece length 3000 is not"),
        (["{share}", "--piece-length", "8K"], 1, "--piece-length: piece length 8192 is under"),
        (["{share}", "--name", "a/b"], 1, "--name: name 'a/b' cannot"),
        (["{share}", "--piece-length", "big"], 2, "not a length"),
        (["{share}", "--v1", "--v2"], 2, "not allowed with"),
        (["{share}", "--threads", "0"], 2, "not a number of threads"),
        (["{share}", "-t", ","], 2, "no tracker URL"),
    ],
)
def test_create_faults_leave_no_output(share, tmp_path, args, status, message):
    names = {"missing": tmp_path / "missing", "empty": tmp_path / "empty", "share": share}
    (tmp_path / "empty").mkdir()
    out = tmp_path / "out.torrent"
    result = velka("create", *(a.format(**names) for a in args), "-o", out)
    assert result.returncode == status
    assert message.format(**names) in result.stderr.decode()
    assert len(result.stderr.decode().splitlines()) == 1 or status == 2
    assert not out.exists() and result.stdout == b""


def test_an_existing_output_needs_force(share, tmp_path):
    out = tmp_path / "out.torrent"
    out.write_bytes(b"old")
    result = velka("create", share, "-o", out)
    assert result.returncode == 1
    assert result.stderr.decode() == f"{out}: exists; give --force to replace it\n"
    assert out.read_bytes() == b"old"
    velka("create", share, "-o", out, "--force", check=0)
    assert load(out).name == "share"


def test_source_date_epoch_that_is_not_a_number(share, tmp_path):
    env = {**os.environ, "SOURCE_DATE_EPOCH": "yesterday"}
    result = velka("create", share, "-o", tmp_path / "o.torrent", env=env)
    assert result.returncode == 1 and b"SOURCE_DATE_EPOCH" in result.stderr
    assert not (tmp_path / "o.torrent").exists()


def test_ctrl_c_stops_within_a_second_and_leaves_no_output(tmp_path):
    if EMULATED:
        pytest.skip("the command's runs are tested on the native CPU")
    big = tmp_path / "big"
    with open(big, "wb") as f:
        f.truncate(64 << 30)  # sparse: no disk, but minutes of hashing
    out = tmp_path / "big.torrent"
    process = subprocess.Popen(
        [VELKA, "create", big, "-o", out],
        stdin=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        preexec_fn=interruptible,
    )
    # Interrupt it while it hashes, not while the interpreter starts, which
    # takes long on a busy machine.
    deadline = time.monotonic() + 60
    while _bytes_read(process.pid) < 64 << 20 and time.monotonic() < deadline:
        time.sleep(0.05)
    process.send_signal(signal.SIGINT)
    start = time.monotonic()
    process.wait(timeout=60)
    # Within a second on an idle machine; a busy one may take a few more,
    # still far from the minutes that hashing it all would take.
    assert time.monotonic() - start < 10
    assert process.returncode == 130
    assert not out.exists() and os.listdir(tmp_path) == ["big"]


def _bytes_read(pid):
    with open(f"/proc/{pid}/io") as io:
        return next(int(line.split()[1]) for line in io if line.startswith("rchar:"))


def test_progress_line_on_a_terminal(share, tmp_path):
    if EMULATED:
        pytest.skip("the command's runs are tested on the native CPU")
    try:
        leader, follower = pty.openpty()
    except OSError as error:
        pytest.skip(f"no terminal to run it on: {error}")
    try:
        result = subprocess.run(
            [VELKA, "create", share, "-o", tmp_path / "t.torrent"],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=follower,
            timeout=60,
        )
        os.close(follower)
        follower = -1
        shown = b""
        while True:
            try:
                chunk = os.read(leader, 4096)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(leader)
        if follower >= 0:
            os.close(follower)
    assert result.returncode == 0
    assert b"100%" in shown and b"of 40.1 kB" in shown
    assert shown.endswith(b"\r\x1b[K")  # cleared at the end


def test_verify_says_which_files_and_pieces_fail(share, tmp_path):
    velka("create", share, "-o", tmp_path / "t.torrent", "--piece-length", "16K", check=0)
    result = velka("verify", tmp_path / "t.torrent", share, check=0)
    assert result.stdout == b"all 2 files match\n"
    data = bytearray((share / "sub" / "a").read_bytes())
    data[20000] ^= 1
    (share / "sub" / "a").write_bytes(data)
    (share / "b").unlink()
    result = velka("verify", tmp_path / "t.torrent", share, check=1)
    assert result.stdout.decode().splitlines() == [
        "b: missing; piece 0 fail",
        "sub/a: pieces differ; piece 2 fail",
        "2 of 2 files fail",
    ]
    report = json.loads(velka("verify", "--json", "-q", tmp_path / "t.torrent", share).stdout)
    assert report == {
        "ok": False,
        "failed": ["b", "sub/a"],
        "faults": [
            {"path": "b", "reason": "missing", "pieces": [0]},
            {"path": "sub/a", "reason": "hash", "pieces": [2]},
        ],
    }


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["{torrent}", "{missing}"], "{missing}: No such file or directory"),
        (["{missing}", "{share}"], "{missing}: No such file or directory"),
        (["{share}/b", "{share}"], "{share}/b: "),
    ],
)
def test_verify_faults(share, tmp_path, args, message):
    torrent = tmp_path / "t.torrent"
    velka("create", share, "-o", torrent, check=0)
    names = {"torrent": torrent, "missing": tmp_path / "missing", "share": share}
    result = velka("verify", *(a.format(**names) for a in args))
    assert result.returncode == 1
    assert result.stderr.decode().startswith(message.format(**names))
    assert result.stdout == b""
