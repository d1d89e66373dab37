"""The swap directory: default per-process directory, explicit setting, errors."""
import fcntl
import os
import pathlib
import stat
import subprocess
import sys
import textwrap

import pytest

import _quenlith as q


def run(code, **env):
    full_env = {k: v for k, v in os.environ.items() if k != "TMPDIR"}
    full_env.update(env)
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=full_env)
    assert out.returncode == 0, out.stderr
    return out.stdout


def test_default_under_tmp_with_pid():
    out = run(
        """
        import os, pathlib, stat, _quenlith as q
        p = q.swap_dir()
        assert isinstance(p, pathlib.Path)
        assert p == pathlib.Path("/tmp") / f"quenlith-swap-{os.getpid()}", p
        assert p.is_dir() and stat.S_IMODE(p.stat().st_mode) == 0o700
        assert q.swap_dir() == p
        p.rmdir()
        assert q.swap_dir() == p and not p.exists()   # not made again
        print("ok")
        """
    )
    assert out.strip() == "ok"


def test_default_follows_tmpdir(tmp_path):
    out = run(
        """
        import os, _quenlith as q
        print(q.swap_dir())
        print(os.getpid())
        print(q.swap_dir().is_dir())
        """,
        TMPDIR=str(tmp_path / "deep" / "er"),
    )
    path, pid, made = out.split()
    assert path == str(tmp_path / "deep" / "er" / f"quenlith-swap-{pid}")
    assert made == "True"


@pytest.mark.parametrize("leave_a_file, kept", [(False, False), (True, True)], ids=["empty", "holding-a-file"])
def test_default_goes_at_exit_when_empty(tmp_path, leave_a_file, kept):
    out = run(
        f"""
        import _quenlith as q
        p = q.swap_dir()
        if {leave_a_file}:
            (p / "left").write_text("x")
        print(p)
        """,
        TMPDIR=str(tmp_path),
    )
    assert pathlib.Path(out.strip()).exists() == kept


def test_default_cannot_be_made_then_can(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    out = run(
        f"""
        import os, _quenlith as q
        try:
            q.swap_dir()
        except RuntimeError as e:
            print(str(e).startswith("I/O error: "), "(os error 20)" in str(e))
        os.remove({str(blocker)!r})
        print(q.swap_dir().is_dir())
        """,
        TMPDIR=str(blocker),
    )
    assert out.split() == ["True", "True", "True"]


def test_default_refuses_a_directory_planted_as_a_link(tmp_path):
    out = run(
        f"""
        import os, _quenlith as q
        os.makedirs({str(tmp_path)!r} + "/target", exist_ok=True)
        os.symlink({str(tmp_path)!r} + "/target", {str(tmp_path)!r} + f"/quenlith-swap-{{os.getpid()}}")
        try:
            q.swap_dir()
            print("accepted")
        except RuntimeError as e:
            print(e)
        """,
        TMPDIR=str(tmp_path),
    )
    assert out.startswith("I/O error: swap directory ") and "is not a private directory of this user" in out


def test_set_swap_dir_keeps_path_as_given(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert q.set_swap_dir("not/there") is None
    assert q.swap_dir() == pathlib.Path("not/there")
    assert not (tmp_path / "not").exists()
    q.set_swap_dir(pathlib.Path(tmp_path / "p"))
    assert q.swap_dir() == tmp_path / "p"
    q.set_swap_dir(path=str(tmp_path))
    assert q.swap_dir() == tmp_path


@pytest.mark.parametrize(
    "value, text",
    [
        (b"/tmp", "argument 'path': 'bytes' object is not an instance of 'str'"),
        (3, "argument 'path': expected str, bytes or os.PathLike object, not int"),
        (None, "argument 'path': expected str, bytes or os.PathLike object, not NoneType"),
    ],
)
def test_set_swap_dir_refuses_non_paths(tmp_path, value, text):
    q.set_swap_dir(str(tmp_path))
    with pytest.raises(TypeError) as info:
        q.set_swap_dir(value)
    assert str(info.value) == text
    assert q.swap_dir() == tmp_path


def test_argument_errors():
    with pytest.raises(TypeError, match=r"^set_swap_dir\(\) missing 1 required positional argument: 'path'$"):
        q.set_swap_dir()
    with pytest.raises(TypeError, match=r"^set_swap_dir\(\) got an unexpected keyword argument 'p'$"):
        q.set_swap_dir(p="x")
    with pytest.raises(TypeError):
        q.swap_dir(1)


def test_non_utf8_path_round_trips(tmp_path):
    name = os.fsdecode(b"caf\xe9")
    q.set_swap_dir(str(tmp_path / name))
    assert os.fsencode(q.swap_dir()) == os.fsencode(tmp_path) + b"/caf\xe9"


@pytest.mark.parametrize("value", ["a\0b", pathlib.PurePosixPath("x") / "a\0b"], ids=["str", "path-like"])
def test_set_swap_dir_refuses_an_embedded_nul(tmp_path, value):
    # The operating system would cut such a path at the NUL and use another directory.
    q.set_swap_dir(str(tmp_path))
    with pytest.raises(ValueError, match="^embedded null byte$"):
        q.set_swap_dir(value)
    assert q.swap_dir() == tmp_path


def test_concurrent_first_calls_agree(tmp_path):
    out = run(
        """
        import threading, _quenlith as q
        seen = []
        threads = [threading.Thread(target=lambda: seen.append(q.swap_dir())) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        assert len(seen) == 8 and len(set(seen)) == 1 and seen[0].is_dir(), seen
        print(seen[0])
        """,
        TMPDIR=str(tmp_path),
    )
    assert out.strip().startswith(str(tmp_path) + "/quenlith-swap-")


def ended_pids(n):
    """Ids of n processes that have started and ended."""
    pids = []
    for _ in range(n):
        child = subprocess.Popen(["true"])
        child.wait()
        pids.append(child.pid)
    return pids


def test_first_default_removes_the_directories_of_ended_processes(tmp_path):
    dead, dead_link, dead_open, dead_full, dead_other, dead_file = ended_pids(6)
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "keep").write_text("x")
    base = tmp_path / "tmp"
    base.mkdir()

    def private(name, mode=0o700):
        d = base / name
        d.mkdir()
        d.chmod(mode)
        (d / "Coords-1-0.swap").write_text("x")
        return d

    gone = private(f"quenlith-swap-{dead}")
    (gone / "link").symlink_to(outside / "keep")  # the link goes, its target stays
    kept = [
        private(f"quenlith-swap-{os.getpid()}"),  # a running process (this test's)
        private(f"quenlith-swap-{dead_open}", 0o755),  # not made private: not ours to judge
        *(private(name) for name in (f"quenlith-swap-0{dead}", f"quenlith-swap-{dead}x", f"quenlith-swap-+{dead}",
                                     "quenlith-swap-", f"quenlith-swap-{dead} ", f"quenlith-swap-{2**31}",
                                     f"xquenlith-swap-{dead}")),
    ]
    (base / f"quenlith-swap-{dead_link}").symlink_to(outside, target_is_directory=True)
    (base / f"quenlith-swap-{dead_file}").write_text("x")
    full = private(f"quenlith-swap-{dead_full}")
    (full / "sub").mkdir()  # not made by the module: the directory stays, its file goes
    if os.geteuid() == 0:
        kept.append(private(f"quenlith-swap-{dead_other}"))
        os.chown(kept[-1], 65534, 65534)
        os.chown(kept[-1] / "Coords-1-0.swap", 65534, 65534)
    out = run(
        """
        import _quenlith as q
        print(q.swap_dir())
        """,
        TMPDIR=str(base),
    )
    assert not gone.exists()
    assert (outside / "keep").read_text() == "x"
    for d in kept:
        assert (d / "Coords-1-0.swap").read_text() == "x", d
    assert (base / f"quenlith-swap-{dead_link}").is_symlink() and (base / f"quenlith-swap-{dead_file}").is_file()
    assert sorted(p.name for p in full.iterdir()) == ["sub"]
    assert not pathlib.Path(out.strip()).exists()  # left empty, gone at exit


def test_first_default_empties_a_directory_left_with_its_own_id(tmp_path):
    # An earlier process with this id, killed with objects written out, left its files.
    out = run(
        """
        import os, pathlib, _quenlith as q
        mine = pathlib.Path(os.environ["TMPDIR"]) / f"quenlith-swap-{os.getpid()}"
        mine.mkdir(mode=0o700)
        (mine / "Coords-7-0.swap").write_text("x")
        (mine / "sub").mkdir()
        assert q.swap_dir() == mine
        print(sorted(p.name for p in mine.iterdir()))
        """,
        TMPDIR=str(tmp_path),
    )
    assert out.strip() == "['sub']"


# A process of another pid namespace sharing the temporary directory has an id that
# means nothing here (none, or another process's): only its lock shows it alive. Such a
# process is played by a descriptor of this test holding the lock the owner takes.


def test_default_is_held_while_its_process_lives(tmp_path):
    owner = subprocess.Popen(
        [sys.executable, "-c", "import sys, _quenlith as q; print(q.swap_dir(), flush=True); sys.stdin.read()"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
        env={k: v for k, v in os.environ.items() if k != "TMPDIR"} | {"TMPDIR": str(tmp_path)},
    )
    path = pathlib.Path(owner.stdout.readline().strip())
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        with pytest.raises(BlockingIOError):
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    finally:
        os.close(fd)
        owner.communicate("")
    assert owner.returncode == 0 and not path.exists()


def test_first_default_keeps_directories_held_by_a_live_process(tmp_path):
    held_pid, unheld_pid = ended_pids(2)
    dirs = {}
    for pid in (held_pid, unheld_pid):
        dirs[pid] = tmp_path / f"quenlith-swap-{pid}"
        dirs[pid].mkdir(mode=0o700)
        (dirs[pid] / "Coords-1-0.swap").write_text("x")
    fd = os.open(dirs[held_pid], os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.flock(fd, fcntl.LOCK_SH)
        run("import _quenlith as q; q.swap_dir()", TMPDIR=str(tmp_path))
    finally:
        os.close(fd)
    assert (dirs[held_pid] / "Coords-1-0.swap").read_text() == "x"
    assert not dirs[unheld_pid].exists()


def test_own_id_directory_held_by_another_process_is_shared(tmp_path):
    # A process of another namespace with this process's id made the default first.
    out = run(
        """
        import fcntl, os, pathlib, _quenlith as q
        mine = pathlib.Path(os.environ["TMPDIR"]) / f"quenlith-swap-{os.getpid()}"
        mine.mkdir(mode=0o700, parents=True)
        (mine / "Coords-7-0.swap").write_text("x")
        other = os.open(mine, os.O_RDONLY | os.O_DIRECTORY)
        fcntl.flock(other, fcntl.LOCK_SH)
        assert q.swap_dir() == mine
        print(sorted(p.name for p in mine.iterdir()))
        """,
        TMPDIR=str(tmp_path / "found"),
    )
    assert out.strip() == "['Coords-7-0.swap']"
    # The other way round: it came second, and is still there when this one exits.
    out = run(
        """
        import fcntl, os, _quenlith as q
        fcntl.flock(os.open(q.swap_dir(), os.O_RDONLY | os.O_DIRECTORY), fcntl.LOCK_SH)
        print(q.swap_dir())
        """,
        TMPDIR=str(tmp_path / "made"),
    )
    assert pathlib.Path(out.strip()).is_dir()
