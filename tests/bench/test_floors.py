"""The benchmark's own parts, on real processes: the C floors hold what they
should, the maker of short-lived files makes and clears what it says, and
a catch counts only for the very file held, and a subject run as nobody is
unprivileged. Root only where fanotify or another user is needed."""

import os
import pwd
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))

import subjects  # noqa: E402
from running import Running  # noqa: E402
from trial import ShortLived, check_dropped  # noqa: E402

# Generous: only a broken floor takes this long.
PATIENCE = 10
DONE = b"- done"


class Floors(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.build = tempfile.mkdtemp(prefix="bench-floors-")
        os.chmod(cls.build, 0o755)  # the fanotify floor runs as nobody too
        cls.fanotify = subjects.build(cls.build, "fanotify_floor.c")
        cls.tree = subjects.build(cls.build, "tree_floor.c")
        cls.maker = ShortLived(subjects.build(cls.build, "short_lived.c"))

    @classmethod
    def tearDownClass(cls):
        cls.maker.close()
        shutil.rmtree(cls.build)

    def setUp(self):
        self.work = os.path.realpath(tempfile.mkdtemp(prefix="bench-floors-work-"))
        self.running = []
        self.count = 0

    def tearDown(self):
        for running in self.running:
            running.stop()
        shutil.rmtree(self.work)

    def need_fanotify(self):
        if os.geteuid() != 0 or subprocess.run([self.fanotify, "--check"], check=False).returncode != 0:
            self.skipTest("fanotify needs root")

    def start(self, command, name):
        running = Running(command, os.path.join(self.work, name))
        self.running.append(running)
        self.assertIsNotNone(running.wait_line(b"- start", PATIENCE), f"{command} did not start")
        return running

    def make(self, path, lifetime_ms, new_folders=0):
        """A file at path under the work folder, with content of its own."""
        self.count += 1
        content = f"content{self.count}"
        self.maker.make(os.path.join(self.work, path), content, lifetime_ms, new_folders)
        return os.path.join(self.work, path), content.encode()

    def assert_held(self, running, path, content, pattern):
        self.assertIsNotNone(running.wait_line(DONE, PATIENCE), f"{path} was not held")
        self.assertTrue(running.holds(path, content), f"{path} is not the file held")
        self.assertEqual(running.opened(), path if pattern else None)

    def test_fanotify_floor_holds_deleted_files(self):
        """(mark, awaited, where the file is made, new folders, its lifetime ms)"""
        self.need_fanotify()
        cases = [
            (None, "target", "target", 0, 0.01),
            (None, "is-*.tmp", "is-a1.tmp", 0, 0.01),
            ("mount", "tmp*/payload.json", "tmpA/payload.json", 1, 0.01),
            ("filesystem", "tmp*/a/b/c/payload.json", "tmpB/a/b/c/payload.json", 4, 0.01),
            # A folder's mark may come after a file made at once: the file stays.
            ("folder", "tmp*/a/b/c/payload.json", "tmpC/a/b/c/payload.json", 4, 200),
            ("folder", "tmp*/payload.json", "tmpD/payload.json", 1, 200),
        ]
        for mark, awaited, made, new_folders, lifetime in cases:
            with self.subTest(mark=mark, awaited=awaited):
                running = self.start([self.fanotify] + (["--mark", mark] if mark else []), awaited)
                path, content = self.make(made, lifetime, new_folders)
                self.assert_held(running, path, content, "*" in awaited)
                self.assertFalse(os.path.exists(os.path.join(self.work, made.split("/")[0])))

    def test_fanotify_floor_keeps_only_the_awaited_file(self):
        self.need_fanotify()
        running = self.start([self.fanotify], "is-*.tmp")
        for other in range(3):
            self.make(f"other{other}.tmp", 0.01)
        path, content = self.make("is-b2.tmp", 0.01)
        self.assert_held(running, path, content, True)
        held = [os.readlink(f"/proc/{running.process.pid}/fd/{fd}")
                for fd in os.listdir(f"/proc/{running.process.pid}/fd")]
        self.assertEqual([link for link in held if link.startswith(self.work)], [path + " (deleted)"])

    def test_fanotify_floor_refused_to_others(self):
        if os.geteuid() != 0:
            self.skipTest("runs the floor as another user")
        nobody = pwd.getpwnam("nobody")
        check = subprocess.run([self.fanotify, "--check"], user=nobody.pw_uid, group=nobody.pw_gid,
                               extra_groups=[], check=False)
        self.assertNotEqual(check.returncode, 0)

    def test_tree_floor_follows_literal_folders(self):
        """(awaited, made first, then made, new folders): files that stay."""
        cases = [
            ("tmp*/payload.json", None, "tmpE/payload.json", 1),
            ("tmp*/a/b/c/payload.json", None, "tmpF/a/b/c/payload.json", 4),
            # Folders there before the floor starts: looked into, not listed.
            ("tmp*/a/b/c/payload.json", "tmpG/a/b", "tmpG/a/b/c/payload.json", 1),
        ]
        for awaited, before, made, new_folders in cases:
            with self.subTest(awaited=awaited, before=before):
                if before:
                    os.makedirs(os.path.join(self.work, before))
                running = self.start([self.tree], awaited)
                path, content = self.make(made, 200, new_folders)
                self.assert_held(running, path, content, True)

    def test_inotifywait_tree_loop_starts_under_a_storm(self):
        """inotifywait -r gives up its walk when a file goes during it: the
        pipeline starts it again, every time, and still holds the file."""
        if not shutil.which("inotifywait"):
            self.skipTest("inotifywait is missing")
        loop = ["bash", "-c", subjects.TREE_INOTIFYWAIT_LOOP, "inotifywait"]
        # Files that stay make its walk long enough for most starts to meet
        # one of the storm's going.
        for number in range(1000):
            open(os.path.join(self.work, f"other{number:04}"), "wb").close()
        storm = subprocess.Popen([subjects.build(self.build, "busy_folder.c"), self.work, "10000"],
                                 stdout=subprocess.DEVNULL)
        try:
            for _ in range(10):
                self.start(loop, "tmp*/payload.json").stop()
            running = self.start(loop, "tmp*/payload.json")
            # It never lists a new folder: the file comes once it is watched.
            os.mkdir(os.path.join(self.work, "tmpI"))
            time.sleep(0.5)
            path, content = self.make("tmpI/payload.json", 200)
            self.assert_held(running, path, content, True)
        finally:
            storm.terminate()
            storm.wait()

    def test_a_catch_is_the_very_file(self):
        """An earlier file at the same path, or a file not held, is no catch."""
        path = os.path.join(self.work, "kept")
        with open(path, "w") as file:
            file.write("first")
        holder = Running(["sh", "-c", 'exec 3<"$0"; echo "- start"; exec sleep 60'], path)
        self.running.append(holder)
        self.assertIsNotNone(holder.wait_line(b"- start", PATIENCE))
        self.assertFalse(holder.holds(path, b"first"), "not deleted yet")
        os.unlink(path)
        self.assertTrue(holder.holds(path, b"first"))
        self.assertFalse(holder.holds(path, b"second"))
        self.assertFalse(holder.holds(path + "x", b"first"))

    def test_maker_makes_and_clears(self):
        start = time.perf_counter()
        times = self.maker.make(os.path.join(self.work, "tmpH/a/f"), "x", 1, 2)
        self.assertGreaterEqual(times["lived"], 1)
        self.assertGreaterEqual(times["gone"], times["lived"])
        self.assertGreaterEqual(times["span"], times["gone"])
        self.assertLess(times["span"], (time.perf_counter() - start) * 1000)
        self.assertEqual(os.listdir(self.work), [])
        open(os.path.join(self.work, "there"), "w").close()
        with self.assertRaises(RuntimeError):
            self.maker.make(os.path.join(self.work, "there"), "x", 0.01)

    def test_unprivileged_subject(self):
        if os.geteuid() != 0:
            self.skipTest("runs a subject as another user")
        nobody = pwd.getpwnam("nobody")
        credentials = {"user": nobody.pw_uid, "group": nobody.pw_gid, "extra_groups": []}
        command = ["sh", "-c", 'echo "- start"; exec sleep 60']
        dropped = Running(command, "", **credentials)
        root = Running(command, "")
        self.running += [dropped, root]
        for running in (dropped, root):
            self.assertIsNotNone(running.wait_line(b"- start", PATIENCE))
        check_dropped(dropped, "dropped", credentials)
        with self.assertRaises(RuntimeError):
            check_dropped(root, "root", credentials)


if __name__ == "__main__":
    unittest.main()
