"""Folder patterns under loads that the benchmark's modes do not make: a
chain of new folders (mkdir -p, tar -x), a large subtree moved out and
back, and folders left without a watch when the user's watches run out.
Each subject waits as nobody, the way an ordinary user's run does (root's
would be handed the files by the kernel); the makers sleep between steps,
as programs that make folders do, instead of spinning on a processor the
subject may need.

    python3 bench/tree_loads.py --fileholder PATH [--fileholder PATH ...]
                                [--trials N] [--folders N]
                                [--only chains|subtree|watches]

Prints, for each fileholder given, the share of files caught at the end of
the chains, how soon a file made after the subtree came back was held, the
longest run of busy milliseconds when it left, the CPU before and after
(each against a sleep loop run beside it), and how soon a file in a folder
without a watch was held. Runs as root (it drops the subjects to nobody and
gives one a user namespace of its own for its watch limit).
"""

import argparse
import os
import select
import shutil
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
# A user namespace of its own whose inotify watches run out after 200.
FEW_WATCHES = ["unshare", "--user", "--map-root-user", "sh", "-c",
               'echo 200 >/proc/sys/user/max_inotify_watches && exec "$0" "$@"']


def start(command, name):
    """The subject waiting on name, once it has said so."""
    process = subprocess.Popen(command + [name], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    process.stdout.readline()
    return process


def held_within(process, seconds):
    """The seconds until its done line came, or None."""
    began = time.monotonic()
    ready, _, _ = select.select([process.stdout], [], [], seconds)
    return time.monotonic() - began if ready and b"- done" in process.stdout.read1(4096) else None


def stop(process):
    process.kill()
    process.wait()


def cpu_ns(pid):
    """The process's time on a processor, in nanoseconds (schedstat)."""
    with open(f"/proc/{pid}/schedstat") as stat:
        return int(stat.read().split()[0])


def cpu_ratio(pid, floor, seconds):
    """Its CPU over seconds, as a share of a core and as a multiple of the
    sleep loop's over the same interval."""
    mine, floors = cpu_ns(pid), cpu_ns(floor.pid)
    time.sleep(seconds)
    mine, floors = cpu_ns(pid) - mine, cpu_ns(floor.pid) - floors
    return f"{100 * mine / (seconds * 1e9):.2f}% of a core ({mine / max(floors, 1):.2f}x the sleep loop)"


def milliseconds(seconds):
    return "not within the time given" if seconds is None else f"{seconds * 1000:.1f} ms"


def folder_base(work, name):
    base = os.path.join(work, name)
    os.mkdir(base)
    os.chmod(base, 0o777)
    return base


def chains(fileholder, work, trials, depth):
    """A folder of a random name and depth - 1 folders below it, 200 us
    apart, then a file that lives 2 ms: caught of trials."""
    caught = 0
    for trial in range(trials):
        base = folder_base(work, f"chain{depth}.{trial}")
        below = [f"l{level}" for level in range(depth - 1)]
        process = start(NOBODY + [fileholder], os.path.join(base, "tmp*", *below, "x"))
        time.sleep(0.2)
        folder = os.path.join(base, f"tmp.{trial}")
        os.mkdir(folder)
        for step in below:
            time.sleep(0.0002)
            folder = os.path.join(folder, step)
            os.mkdir(folder)
        time.sleep(0.0002)
        file = os.path.join(folder, "x")
        with open(file, "wb") as made:
            made.write(b"x")
        time.sleep(0.002)
        os.unlink(file)
        caught += held_within(process, 0.3) is not None
        stop(process)
        shutil.rmtree(base)
    return caught


def unpacked(fileholder, work, trials):
    """tar -x into a new folder of mktemp -d, then rm -rf, as nobody:
    caught of trials."""
    source = os.path.join(work, "source")
    os.makedirs(os.path.join(source, "usr/share/doc/foo"))
    with open(os.path.join(source, "usr/share/doc/foo/readme"), "w") as readme:
        readme.write("readme\n")
    archive = os.path.join(work, "foo.tar")
    subprocess.run(["tar", "-C", source, "-cf", archive, "usr"], check=True)
    os.chmod(archive, 0o644)
    caught = 0
    for trial in range(trials):
        base = folder_base(work, f"tar.{trial}")
        process = start(NOBODY + [fileholder], os.path.join(base, "tmp.*/usr/share/doc/foo/readme"))
        time.sleep(0.2)
        subprocess.run(NOBODY + ["sh", "-c", f'd=$(mktemp -d -p {base}); tar -C "$d" -xf {archive}; rm -rf "$d"'],
                       check=True)
        caught += held_within(process, 0.5) is not None
        stop(process)
        shutil.rmtree(base)
    return caught


def watches_of(pid):
    """The inotify watches the process has, or None."""
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            if os.readlink(f"/proc/{pid}/fd/{fd}") == "anon_inode:inotify":
                with open(f"/proc/{pid}/fdinfo/{fd}") as info:
                    return sum(line.startswith("inotify wd") for line in info)
        except OSError:
            pass
    return None


def longest_busy(pid, seconds):
    """The longest run of milliseconds in which the process was on a
    processor most of the time, over seconds, in ms."""
    longest = run = 0
    before = cpu_ns(pid)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        time.sleep(0.001)
        now = cpu_ns(pid)
        run = run + 1 if now - before > 800_000 else 0
        longest, before = max(longest, run), now
    return longest


def subtree(fileholder, work, folders, floor):
    """big/sub holds folders matching folders, all watched; sub moves out and,
    a second later, back. Twice: once for a file made a second after it came
    back, once for the CPU half a minute later, when the new folders' first
    listings, paid from the credit, are done."""
    base = folder_base(work, "subtree")
    sub = os.path.join(base, "big/sub")
    os.makedirs(sub)
    os.makedirs(os.path.join(base, "away"))
    for number in range(folders):
        os.mkdir(os.path.join(sub, f"tmp{number:05}"))
    subprocess.run(["chmod", "-R", "a+rwx", base], check=True)
    got = {}
    for run in ("file", "cpu"):
        process = start(NOBODY + [fileholder], os.path.join(base, "big/*/tmp*/x"))
        deadline = time.monotonic() + 30
        while (watches_of(process.pid) or 0) < folders + 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(2)
        if run == "cpu":
            got["CPU before"] = cpu_ratio(process.pid, floor, 5)
        os.rename(sub, os.path.join(base, "away/sub"))
        busy = longest_busy(process.pid, 1)
        os.rename(os.path.join(base, "away/sub"), sub)
        came_back = time.monotonic()
        while (watches_of(process.pid) or 0) < folders + 2 and time.monotonic() - came_back < 10:
            time.sleep(0.01)
        back = time.monotonic() - came_back
        if run == "file":
            got["longest busy run when they left"] = f"{busy} ms"
            got["all watched again after"] = milliseconds(back)
            time.sleep(max(0.0, 1 - (time.monotonic() - came_back)))
            file = os.path.join(sub, f"tmp{folders // 2:05}", "x")
            with open(file, "w"):
                pass
            got["a file made 1 s after it came back, held after"] = milliseconds(held_within(process, 5))
            os.unlink(file)
        else:
            time.sleep(30)
            got["CPU 30 s after it came back"] = cpu_ratio(process.pid, floor, 5)
        stop(process)
    shutil.rmtree(base)
    return got


def without_watches(fileholder, work, folders, floor):
    """folders matching folders, watches for 200: how soon a file made in a
    folder without a watch is held, three times, and the CPU before."""
    base = folder_base(work, "unwatched")
    sub = os.path.join(base, "big/sub")
    os.makedirs(sub)
    for number in range(folders):
        os.mkdir(os.path.join(sub, f"tmp{number:05}"))
    got = {"a file in a folder without a watch, held after": []}
    for number in (folders // 3, folders // 2, folders - 1):
        process = start(FEW_WATCHES + [fileholder], os.path.join(base, "big/*/tmp*/x"))
        time.sleep(3)
        got.setdefault("CPU", cpu_ratio(process.pid, floor, 10))
        file = os.path.join(sub, f"tmp{number:05}", "x")
        with open(file, "w"):
            pass
        took = held_within(process, 8)
        got["a file in a folder without a watch, held after"].append(milliseconds(took))
        stop(process)
        os.unlink(file)
    shutil.rmtree(base)
    return got


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--fileholder", action="append", required=True)
    parser.add_argument("--trials", type=int, default=20)
    parser.add_argument("--folders", type=int, default=10000)
    parser.add_argument("--only", choices=("chains", "subtree", "watches"),
                        help="measure only the chains (and tar -x), the subtree or the watches")
    options = parser.parse_args()
    wanted = {options.only} if options.only else {"chains", "subtree", "watches"}
    floor_binary = os.path.join(tempfile.mkdtemp(), "sleep_floor")
    subprocess.run(["gcc", "-O2", "-o", floor_binary, os.path.join(HERE, "sleep_floor.c")], check=True)
    floor = subprocess.Popen([floor_binary], stdout=subprocess.DEVNULL)
    try:
        for fileholder in options.fileholder:
            work = tempfile.mkdtemp(prefix="fileholder-loads-")
            os.chmod(work, 0o755)
            reachable = os.path.join(work, "fileholder")
            shutil.copy(fileholder, reachable)
            print(f"## {fileholder}")
            if "chains" in wanted:
                for depth in (2, 4, 6):
                    print(f"chain of {depth} new folders, file lives 2 ms: "
                          f"{chains(reachable, work, options.trials, depth)} of {options.trials}")
                print(f"tar -x into mktemp -d, then rm -rf: "
                      f"{unpacked(reachable, work, options.trials)} of {options.trials}")
            if "subtree" in wanted:
                for key, value in subtree(reachable, work, options.folders, floor).items():
                    print(f"subtree of {options.folders} folders, {key}: {value}")
            if "watches" in wanted:
                for key, value in without_watches(reachable, work, options.folders, floor).items():
                    print(f"{options.folders} folders, watches for 200, {key}: {value}")
            shutil.rmtree(work)
    finally:
        stop(floor)


if __name__ == "__main__":
    main()
