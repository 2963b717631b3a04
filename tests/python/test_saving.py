"""Saving over a file the user has: the file is opened as open() opens it, so the kernel's checks
(permissions, read-only files, protected links) decide whether a save may go ahead; a save that
fails midway (a file-size limit, a full disk, Ctrl-C, a signal that kills) leaves the previous file
byte for byte and nothing beside it; one that succeeds keeps what the user set on the file, or
writes the file where it is. Each save that fails runs in a child interpreter under a timeout."""

import contextlib
import os
import resource
import signal
import stat
import struct
import subprocess
import tempfile
from pathlib import Path

import pytest

import tolvane
from support import RESTORE_SIGINT, python_output, root, run_python

PREVIOUS = b'{"features":[],"primitives":[]} and whatever the user had here'

# About 36 MB of text: many chunks.
PRELUDE = RESTORE_SIGINT + """
import os, signal, sys, tolvane
N = ("Integer", "Numeric")
sub = tolvane.Primitive("sub", "m", "transform", False, [[N, N]], N)
big = tolvane.generate_features(tolvane.generate_fake_features(300), [sub])
target = sys.argv[1]
def save():
    try:
        tolvane.Feature.save_features(big, target)
        print("saved")
    except BaseException as e:
        print(type(e).__name__, e)
"""

needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="needs root (mounts, other users)")


def save_in_child(target, code="save()", preexec_fn=None):
    return run_python(code, timeout=120, args=[target], preexec_fn=preexec_fn, prelude=PRELUDE)


def previous_file(directory, name="features.json"):
    path = directory / name
    path.write_bytes(PREVIOUS)
    return path


class TestFailedSaveKeepsThePreviousFile:
    def test_file_size_limit(self, tmp_path):
        target = previous_file(tmp_path)

        def limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (200_000, 200_000))

        r = save_in_child(target, preexec_fn=limit)
        assert r.returncode == 0, r.stderr
        assert r.stdout == "PanicException Error writing to file: File too large (os error 27)\n"
        assert target.read_bytes() == PREVIOUS
        assert os.listdir(tmp_path) == ["features.json"]

    def test_killed_by_the_file_size_signal(self, tmp_path):
        # Python ignores SIGXFSZ; a program that restores it is killed in the middle of the write.
        target = previous_file(tmp_path)

        def limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (200_000, 200_000))

        r = save_in_child(target, "signal.signal(signal.SIGXFSZ, signal.SIG_DFL)\nsave()",
                                   preexec_fn=limit)
        assert r.returncode == -signal.SIGXFSZ, r.stderr
        assert target.read_bytes() == PREVIOUS

    @needs_root
    def test_full_file_system(self, tmp_path):
        disk = tmp_path / "disk"
        disk.mkdir()
        try:
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tolvane-test", str(disk)],
                           check=True, capture_output=True, timeout=30)
        except (OSError, subprocess.SubprocessError) as e:
            pytest.skip(f"cannot mount a tmpfs: {e}")
        try:
            target = previous_file(disk)
            r = save_in_child(target)
            assert r.returncode == 0, r.stderr
            assert r.stdout == "PanicException Error writing to file: No space left on device (os error 28)\n"
            assert target.read_bytes() == PREVIOUS
            assert os.listdir(disk) == ["features.json"]
        finally:
            subprocess.run(["umount", str(disk)], check=True, timeout=30)

    def test_ctrl_c(self, tmp_path):
        target = previous_file(tmp_path)
        # About 150 MB, so that the signal lands well inside the save however fast it writes: one
        # let in after the file is in place is the next statement's KeyboardInterrupt, not the save's.
        r = save_in_child(target, """
            big = tolvane.generate_features(tolvane.generate_fake_features(600), [sub])
            signal.signal(signal.SIGALRM, lambda *_: signal.raise_signal(signal.SIGINT))
            signal.setitimer(signal.ITIMER_REAL, 0.01)
            save()
        """)
        assert r.returncode == 0, r.stderr
        assert r.stdout == "KeyboardInterrupt \n"
        assert target.read_bytes() == PREVIOUS
        assert os.listdir(tmp_path) == ["features.json"]


class TestSuccessfulSave:
    def test_permission_bits_owner_and_umask(self, tmp_path):
        old = os.umask(0o027)
        try:
            tolvane.Feature.save_features([root("a")], str(tmp_path / "new.json"))
        finally:
            os.umask(old)
        kept = previous_file(tmp_path)
        kept.chmod(0o604)
        if os.geteuid() == 0:
            os.chown(kept, 65534, 65534)
        tolvane.Feature.save_features([root("a")], str(kept))
        assert kept.read_bytes().startswith(b'{"features":[{"name":"a"')
        assert stat.S_IMODE((tmp_path / "new.json").stat().st_mode) == 0o640
        assert stat.S_IMODE(kept.stat().st_mode) == 0o604
        if os.geteuid() == 0:
            assert (kept.stat().st_uid, kept.stat().st_gid) == (65534, 65534)
        assert sorted(os.listdir(tmp_path)) == ["features.json", "new.json"]

    def test_devices_are_written_not_replaced(self, tmp_path):
        link = tmp_path / "null"
        link.symlink_to("/dev/null")
        for target in ["/dev/null", str(link)]:
            tolvane.Feature.save_features([root("a")], target)
        assert stat.S_ISCHR(os.stat("/dev/null").st_mode) and link.is_symlink()

    @needs_root
    def test_a_directory_the_user_may_not_write_holding_a_file_they_may(self):
        # Written in place, as before: nothing can be made beside it.
        with tempfile.TemporaryDirectory() as top:
            directory = os.path.join(top, "shared")
            os.mkdir(directory)
            target = os.path.join(directory, "features.json")
            with open(target, "wb") as f:
                f.write(PREVIOUS)
            os.chmod(target, 0o666)
            os.chmod(directory, 0o555)
            os.chmod(top, 0o755)
            r = save_in_child(target, "os.setuid(65534)\nsave()")
            assert r.returncode == 0 and r.stdout == "saved\n", r.stderr
            assert os.path.getsize(target) > 30_000_000
            assert os.listdir(directory) == ["features.json"]

    @needs_root
    def test_a_file_mounted_on_its_own(self, tmp_path):
        # A container's bind-mounted file cannot be renamed over: it is written in place.
        source = previous_file(tmp_path, "source.json")
        target = previous_file(tmp_path, "mounted.json")
        try:
            subprocess.run(["mount", "--bind", str(source), str(target)], check=True,
                           capture_output=True, timeout=30)
        except (OSError, subprocess.SubprocessError) as e:
            pytest.skip(f"cannot bind-mount a file: {e}")
        try:
            tolvane.Feature.save_features([root("a")], str(target))
        finally:
            subprocess.run(["umount", str(target)], check=True, timeout=30)
        assert source.read_bytes().startswith(b'{"features":[{"name":"a"')
        assert target.read_bytes() == PREVIOUS


NOBODY = 65534
AS_NOBODY = "os.setgroups([]); os.setgid(65534); os.setuid(65534)\n"

# Saves one small feature to argv[1], then says whether open() may open that name for writing
# (creating it): the kernel's answer, to which the save's must be the same.
SMALL = """
import os, sys, tolvane
{before}
target = sys.argv[1]
try:
    tolvane.Feature.save_features([tolvane.Feature("a", "Integer", "Numeric")], target)
    print("saved")
except BaseException as e:
    print(type(e).__name__, e)
try:
    os.close(os.open(target, os.O_WRONLY | os.O_CREAT, 0o666))
    print("opens")
except OSError as e:
    print(type(e).__name__)
"""
SMALL_TEXT = (b'{"features":[{"name":"a","id":"ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb",'
              b'"schema":{"logical_type":"Integer","semantic_tag":"Numeric"},"base_features":[],'
              b'"generating_primitive":null}],"primitives":[]}')
REFUSED = ("PanicException called `Result::unwrap()` on an `Err` value: Permission denied (os error 13)\n"
           "PermissionError\n")


def save_small(target, before=""):
    return python_output(SMALL.format(before=before), args=[target])


@contextlib.contextmanager
def fs_setting(name, value):
    """fs.NAME set to VALUE for the block, and restored."""
    path = Path("/proc/sys/fs") / name
    try:
        old = path.read_text()
        path.write_text(value)
    except OSError as e:
        pytest.skip(f"cannot set fs.{name}: {e}")
    try:
        yield
    finally:
        path.write_text(old)


@pytest.fixture
def shared():
    """A directory other users may enter, removed afterwards (pytest's own are the owner's alone)."""
    with tempfile.TemporaryDirectory() as top:
        os.chmod(top, 0o755)
        yield Path(top)


def directory(parent, name, mode, owner=0):
    path = parent / name
    path.mkdir()
    os.chown(path, owner, owner)
    path.chmod(mode)
    return path


@needs_root
class TestTheKernelDecidesWhatMayBeSaved:
    def test_a_link_planted_in_a_sticky_directory_is_not_followed(self, shared):
        secret = directory(shared, "secret", 0o700)
        important = previous_file(secret, "important.conf")
        sticky = directory(shared, "sticky", 0o1777)
        for name, leads_to in ("features.json", important), ("dangling.json", secret / "chosen"):
            (sticky / name).symlink_to(leads_to)
            os.lchown(sticky / name, NOBODY, NOBODY)
        with fs_setting("protected_symlinks", "1"):
            for name in "features.json", "dangling.json":
                assert save_small(sticky / name) == REFUSED
        assert important.read_bytes() == PREVIOUS
        assert os.listdir(secret) == ["important.conf"]
        assert sorted(os.listdir(sticky)) == ["dangling.json", "features.json"]

    def test_files_the_user_may_not_write_are_left_alone(self, shared):
        mine = directory(shared, "mine", 0o755, owner=NOBODY)
        read_only = previous_file(mine)
        os.chown(read_only, NOBODY, NOBODY)
        read_only.chmod(0o444)
        anyones = directory(shared, "anyones", 0o777)
        others = previous_file(anyones)
        others.chmod(0o644)
        for target in read_only, others:
            assert save_small(target, AS_NOBODY) == REFUSED
            assert target.read_bytes() == PREVIOUS
            assert os.listdir(target.parent) == ["features.json"]
        assert (others.stat().st_uid, read_only.stat().st_uid) == (0, NOBODY)

    @pytest.mark.parametrize("protected", ["0", "1"])
    def test_another_users_writable_file_in_a_sticky_directory(self, shared, protected):
        # Nothing can be renamed over it: the save writes it in place, where open() may (a third
        # user owns the directory, as root owns /tmp).
        sticky = directory(shared, "sticky", 0o1777, owner=NOBODY - 1)
        target = previous_file(sticky)
        target.chmod(0o666)
        inode = target.stat().st_ino
        with fs_setting("protected_regular", protected):
            out = save_small(target, AS_NOBODY)
        if protected == "1":
            assert out == REFUSED
            assert target.read_bytes() == PREVIOUS
        else:
            assert out == "saved\nopens\n"
            assert target.read_bytes() == SMALL_TEXT
        assert (target.stat().st_ino, target.stat().st_uid) == (inode, 0)
        assert os.listdir(sticky) == ["features.json"]

    def test_an_owner_a_new_file_could_not_have_is_kept_by_writing_in_place(self, shared):
        anyones = directory(shared, "anyones", 0o777)
        target = previous_file(anyones)
        target.chmod(0o666)
        inode = target.stat().st_ino
        assert save_small(target, AS_NOBODY) == "saved\nopens\n"
        assert target.read_bytes() == SMALL_TEXT
        assert (target.stat().st_ino, target.stat().st_uid, stat.S_IMODE(target.stat().st_mode)) == (
            inode, 0, 0o666)
        assert os.listdir(anyones) == ["features.json"]


def posix_acl(*entries):
    """The kernel's binary form of an access ACL: (tag, permissions, id) entries."""
    undefined = 0xFFFFFFFF
    return struct.pack("<I", 2) + b"".join(
        struct.pack("<HHI", tag, perm, undefined if who is None else who) for tag, perm, who in entries)


USER_OBJ, USER, GROUP_OBJ, MASK, OTHER = 0x01, 0x02, 0x04, 0x10, 0x20
ACL = "system.posix_acl_access"


class TestWhatAReplacedFileKeeps:
    def test_acl_and_extended_attributes(self, tmp_path):
        target = previous_file(tmp_path)
        acl = posix_acl((USER_OBJ, 6, None), (USER, 6, NOBODY), (GROUP_OBJ, 4, None), (MASK, 6, None),
                        (OTHER, 4, None))
        try:
            os.setxattr(target, ACL, acl)
            os.setxattr(target, "user.origin", b"kept")
        except OSError as e:
            pytest.skip(f"no ACLs or user attributes here: {e}")
        before = target.stat()
        tolvane.Feature.save_features([root("a")], str(target))
        after = target.stat()
        assert target.read_bytes() == SMALL_TEXT
        assert after.st_ino != before.st_ino  # replaced, not written over
        assert os.getxattr(target, ACL) == acl and os.getxattr(target, "user.origin") == b"kept"
        assert (after.st_mode, after.st_uid, after.st_gid) == (before.st_mode, before.st_uid,
                                                               before.st_gid)

    def test_what_the_directory_would_give_a_new_file_is_not_added(self, tmp_path):
        # A default ACL given to the directory after the file was made does not reach it.
        target = previous_file(tmp_path)
        target.chmod(0o600)
        default = posix_acl((USER_OBJ, 7, None), (USER, 7, NOBODY), (GROUP_OBJ, 5, None), (MASK, 7, None),
                            (OTHER, 5, None))
        try:
            os.setxattr(tmp_path, "system.posix_acl_default", default)
        except OSError as e:
            pytest.skip(f"no ACLs here: {e}")
        tolvane.Feature.save_features([root("a")], str(target))
        assert os.listxattr(target) == [] and stat.S_IMODE(target.stat().st_mode) == 0o600
        fresh = tmp_path / "fresh.json"
        tolvane.Feature.save_features([root("a")], str(fresh))
        assert ACL in os.listxattr(fresh)  # a new file gets what the directory gives

    def test_links_are_written_through(self, tmp_path):
        # A file with other names, and a file reached through a symbolic link: written where they
        # are, so every name sees the new text and the links stay links.
        target = previous_file(tmp_path)
        os.link(target, tmp_path / "other-name.json")
        (tmp_path / "link.json").symlink_to("features.json")
        inode = target.stat().st_ino
        tolvane.Feature.save_features([root("a")], str(target))
        assert (tmp_path / "other-name.json").read_bytes() == SMALL_TEXT
        os.unlink(tmp_path / "other-name.json")
        (tmp_path / "features.json").write_bytes(PREVIOUS)
        tolvane.Feature.save_features([root("a")], str(tmp_path / "link.json"))
        assert target.read_bytes() == SMALL_TEXT and (tmp_path / "link.json").is_symlink()
        assert target.stat().st_ino == inode
        assert sorted(os.listdir(tmp_path)) == ["features.json", "link.json"]


class TestDescriptorsAndPipes:
    def test_dev_stdout_stderr_and_fd_of_pipes(self):
        r = run_python("""
            import os, tolvane
            a = [tolvane.Feature("a", "Integer", "Numeric")]
            tolvane.Feature.save_features(a, "/dev/stdout")
            tolvane.Feature.save_features(a, "/dev/stderr")
            read, write = os.pipe()
            tolvane.Feature.save_features(a, f"/dev/fd/{write}")
            os.close(write)
            assert os.read(read, 1 << 16) == %r
        """ % SMALL_TEXT)
        assert r.returncode == 0, r.stderr
        assert r.stdout.encode() == SMALL_TEXT and r.stderr.encode() == SMALL_TEXT

    def test_proc_fd_of_a_memfd_and_of_a_deleted_file(self, tmp_path):
        top = set(os.listdir("/"))
        r = run_python("""
            import os, sys, tolvane
            a = [tolvane.Feature("a", "Integer", "Numeric")]
            deleted = os.open(os.path.join(sys.argv[1], "gone.json"), os.O_RDWR | os.O_CREAT)
            os.unlink(os.path.join(sys.argv[1], "gone.json"))
            for fd in os.memfd_create("features"), deleted:
                tolvane.Feature.save_features(a, f"/proc/self/fd/{fd}")
                os.lseek(fd, 0, os.SEEK_SET)
                print(os.read(fd, 1 << 16) == %r)
        """ % SMALL_TEXT, args=[tmp_path])
        assert r.returncode == 0, r.stderr
        assert r.stdout == "True\nTrue\n"
        assert set(os.listdir("/")) == top and os.listdir(tmp_path) == []


class TestNothingIsLeftBehind:
    def test_a_failed_save_of_a_new_name_creates_nothing(self, tmp_path):
        def limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (200_000, 200_000))

        r = save_in_child(tmp_path / "new.json", preexec_fn=limit)
        assert r.returncode == 0, r.stderr
        assert r.stdout == "PanicException Error writing to file: File too large (os error 27)\n"
        assert os.listdir(tmp_path) == []

    def test_killed_in_the_middle(self, tmp_path):
        target = previous_file(tmp_path)
        r = save_in_child(target, """
            big = tolvane.generate_features(tolvane.generate_fake_features(600), [sub])
            signal.signal(signal.SIGALRM, lambda *_: os.kill(os.getpid(), signal.SIGKILL))
            signal.setitimer(signal.ITIMER_REAL, 0.01)
            save()
        """)
        assert r.returncode == -signal.SIGKILL or r.stdout == "saved\n", r.stderr
        assert os.listdir(tmp_path) == ["features.json"]
        text = target.read_bytes()
        assert text == PREVIOUS or text.endswith(b"]}") and len(text) > 100_000_000

    @pytest.mark.parametrize("by", ["signal handler", "thread"])
    def test_the_working_directory_changes_during_a_relative_save(self, tmp_path, by):
        # The file goes whole into the directory the name was given in; free-threaded, the thread
        # changes it while the save runs.
        here, there = tmp_path / "here", tmp_path / "there"
        here.mkdir()
        there.mkdir()
        r = run_python("""
            import threading
            here, there = target, os.path.join(target, "..", "there")
            done = threading.Event()
            def swap(*_):
                os.chdir(there if os.getcwd() == os.path.realpath(here) else here)
            def swapping():
                while not done.is_set():
                    swap()
            os.chdir(here)
            if sys.argv[2] == "thread":
                threading.Thread(target=swapping).start()
            else:
                signal.signal(signal.SIGALRM, swap)
                signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
            target = "features.json"
            for _ in range(3):
                save()
            signal.setitimer(signal.ITIMER_REAL, 0)
            done.set()
        """, timeout=120, args=[here, by], prelude=PRELUDE)
        assert r.returncode == 0, r.stderr
        assert r.stdout == "saved\n" * 3
        saved = [d / "features.json" for d in (here, there) if os.listdir(d)]
        assert all(os.listdir(p.parent) == ["features.json"] for p in saved)
        assert all(p.read_bytes().endswith(b"]}") and p.stat().st_size > 30_000_000 for p in saved)


@pytest.mark.parametrize("length", [4088, 4095])
def test_paths_as_long_as_open_takes(tmp_path, length):
    name = "features.json"
    parent = tmp_path
    while len(str(parent)) + 1 + 250 + 1 + len(name) <= length:
        parent = parent / ("d" * 250)
    parent = parent / ("e" * (length - len(str(parent)) - 2 - len(name)))
    os.makedirs(parent)
    target = parent / name
    assert len(os.fsencode(target)) == length
    tolvane.Feature.save_features([root("a")], str(target))
    assert target.read_bytes() == SMALL_TEXT
    assert os.listdir(parent) == [name]
