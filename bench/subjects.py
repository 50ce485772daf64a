"""The subjects: what each mode measures fileholder against, as commands that
take the awaited name (or pattern) last and print fileholder's start line
once they wait, and its done line once they hold."""

import os
import pwd
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
# fileholder run by root, and the same binary dropped to user nobody, whom
# fanotify refuses: it then behaves as for any user.
NOBODY = "fileholder (nobody)"
FANOTIFY = "fanotify floor"
# Started as nobody, as fileholder (nobody) is: Python forks, rather than
# vforks, a child that changes its user, which adds to the start-up.
INOTIFY_NOBODY = "inotify (floor) as nobody"
# The tree mode's fanotify floor, by its mark (fanotify_floor.c's --mark).
FANOTIFY_MARKS = ("folder", "mount", "filesystem")

PYTHON_LOOP = """
import signal, sys, time
name = sys.argv[1]
print("- start", flush=True)
while True:
    try:
        held = open(name, "rb")
        break
    except OSError:
        time.sleep(0.001)
print("- done", flush=True)
while True:
    signal.pause()
"""

# Holds through descriptor 3 in the shell itself, which then waits on a child
# that never ends: no wake-ups.
SHELL_LOOP = """
echo "- start"
until exec 3<"$1"; do sleep 0.001; done
echo "- done"
sleep infinity &
wait
"""

# Lists the folder every 1 ms and tries the matches in name order; opening
# a folder fails, so folders are passed over.
PATTERN_PYTHON_LOOP = """
import fnmatch, os, signal, sys, time
folder, pattern = os.path.split(sys.argv[1])
print("- start", flush=True)
held = None
while held is None:
    try:
        names = sorted(n for n in os.listdir(folder) if fnmatch.fnmatchcase(n, pattern))
    except OSError:
        names = []
    for name in names:
        try:
            held = open(os.path.join(folder, name), "rb")
            break
        except OSError:
            pass
    else:
        time.sleep(0.001)
print(f"- opened {held.name}", flush=True)
print("- done", flush=True)
while True:
    signal.pause()
"""

# The pipeline a user would write with inotify-tools, wrapped to print the
# start line once inotifywait says its watch is set, and the done line once
# the loop holds a match. inotifywait writes that on standard error, so both
# streams go through the loop; no file is named like the message.
INOTIFYWAIT_LOOP = """
folder=${1%/*} pattern=${1##*/}
inotifywait -m -e create -e moved_to --format %f "$folder" 2>&1 | {
    while read -r f; do
        case $f in
        "Watches established.") echo "- start" ;;
        $pattern) exec 3<"$folder/$f" && break ;;
        esac
    done 2>/dev/null
    echo "- opened $folder/$f"
    echo "- done"
    sleep infinity &
    wait
}
"""

# The tree mode's: the first match of glob.glob (in name order) that opens,
# every 1 ms.
TREE_PYTHON_LOOP = """
import glob, signal, sys, time
print("- start", flush=True)
held = None
while held is None:
    for name in sorted(glob.glob(sys.argv[1])):
        try:
            held = open(name, "rb")
            break
        except OSError:
            pass
    else:
        time.sleep(0.001)
print(f"- opened {held.name}", flush=True)
print("- done", flush=True)
while True:
    signal.pause()
"""

# inotifywait watching the base and every folder below it (-r), the full
# path of each event matched against the whole pattern, wrapped as above.
# Its walk gives up ("Couldn't watch BASE") when a file goes between the
# listing of a folder and the look at it, as under a storm of files in the
# base; so it is started again until its watches are set, as a user would.
TREE_INOTIFYWAIT_LOOP = """
base=${1%/*/*}
until inotifywait -m -r -e create -e moved_to --format %w%f "$base" 2>&1 | {
    held=
    while read -r f; do
        case $f in
        "Watches established.") echo "- start" ;;
        $1) exec 3<"$f" && held=1 && break ;;
        esac
    done 2>/dev/null
    [ -n "$held" ] || exit 1
    echo "- opened $f"
    echo "- done"
    sleep infinity &
    wait
}; do :; done
"""


def build(folder, source):
    """Compiles one of the C references kept beside this script, once a run."""
    binary = os.path.join(folder, os.path.splitext(source)[0])
    if os.path.exists(binary):
        return binary
    compiler = shutil.which("cc") or shutil.which("gcc")
    subprocess.run([compiler, "-O2", "-o", binary, os.path.join(HERE, source)], check=True)
    return binary


def windows_bits(exe):
    """32 or 64: the machine a Windows program's PE header names."""
    with open(exe, "rb") as program:
        header = program.read(4096)
    at = int.from_bytes(header[0x3C:0x40], "little")
    if header[at:at + 4] != b"PE\0\0":
        raise RuntimeError(f"{exe} is no Windows program")
    return 64 if int.from_bytes(header[at + 4:at + 6], "little") == 0x8664 else 32


def windows_sleep_floor(work, exe, loader):
    """The Sleep(1) loop built with mingw-w64 with the bits of exe, as run
    by loader: the floor beside a Windows program."""
    compiler = {32: "i686-w64-mingw32-gcc", 64: "x86_64-w64-mingw32-gcc"}[windows_bits(exe)]
    if not shutil.which(compiler):
        raise RuntimeError(f"{compiler} is missing: it builds the Windows sleep floor")
    binary = os.path.join(work, f"sleep_floor_windows{windows_bits(exe)}.exe")
    subprocess.run([compiler, "-O2", "-static", "-o", binary,
                    os.path.join(HERE, "sleep_floor_windows.c"), "-lwinmm"], check=True)
    return [loader, binary]


def reachable(fileholder, work):
    """fileholder copied into work, which any user may enter, so that it can
    run as another user whatever the folders above the build allow."""
    copy = os.path.join(work, "fileholder")
    if not os.path.exists(copy):
        shutil.copy(fileholder, copy)
    return copy


class Subjects:
    """A mode's subjects: their commands in column order, the credentials of
    those run as another user, and the reasons of those left out."""

    def __init__(self):
        self.commands, self.credentials, self.left_out = {}, {}, {}

    def add(self, name, command, credentials=None):
        self.commands[name] = command
        if credentials:
            self.credentials[name] = credentials


def root_only(subjects, fileholder, work, floors):
    """fileholder dropped to nobody, put right after fileholder, and the
    fanotify floors (name: its --mark or None) last; left out, and said to
    be, where the benchmark does not run as root or fanotify is refused."""
    if os.geteuid() != 0:
        for name in [NOBODY, *floors]:
            subjects.left_out[name] = "the benchmark does not run as root"
        return
    nobody = pwd.getpwnam("nobody")
    # No setpriv in between: its exec would count in the start-up.
    credentials = {"user": nobody.pw_uid, "group": nobody.pw_gid, "extra_groups": []}
    order = list(subjects.commands.items())
    subjects.commands = dict(order[:1])
    subjects.add(NOBODY, [reachable(fileholder, work)], credentials)
    subjects.commands.update(order[1:])
    binary = build(work, "fanotify_floor.c")
    if subprocess.run([binary, "--check"], check=False).returncode != 0:
        for name in floors:
            subjects.left_out[name] = "fanotify_init was refused"
        return
    for name, mark in floors.items():
        subjects.add(name, [binary] + (["--mark", mark] if mark else []))


def literal_subjects(fileholder, work):
    """fileholder and what a user would reach for instead, for a known name."""
    subjects = Subjects()
    subjects.add("fileholder", [os.path.abspath(fileholder)])
    subjects.add("Python loop", [sys.executable, "-c", PYTHON_LOOP])
    subjects.add("shell loop", ["bash", "-c", SHELL_LOOP, "shell"])
    subjects.add("inotify (floor)", [build(work, "inotify_holder.c")])
    root_only(subjects, fileholder, work, {FANOTIFY: None})
    if NOBODY in subjects.commands:
        subjects.add(INOTIFY_NOBODY, subjects.commands["inotify (floor)"], subjects.credentials[NOBODY])
    return subjects


def pattern_subjects(fileholder, work):
    """fileholder and what a user would reach for instead, for a pattern.
    fileholder is the copy in work, so that it can run as another user (for
    matches that cannot be opened)."""
    ensure_inotifywait()
    subjects = Subjects()
    subjects.add("fileholder", [reachable(fileholder, work)])
    subjects.add("pattern floor", [build(work, "pattern_floor.c")])
    subjects.add("inotifywait loop", ["bash", "-c", INOTIFYWAIT_LOOP, "inotifywait"])
    subjects.add("Python loop", [sys.executable, "-c", PATTERN_PYTHON_LOOP])
    root_only(subjects, fileholder, work, {FANOTIFY: None})
    return subjects


def fanotify_tree_name(mark):
    return f"{FANOTIFY} ({mark} mark{'s' if mark == 'folder' else ''})"


def tree_subjects(fileholder, work, marks):
    """fileholder and what a user would reach for instead, for a file of a
    known name in a folder of a random name (BASE/FOLDER_PATTERN/NAME); the
    fanotify floor with each mark asked for."""
    ensure_inotifywait()
    subjects = Subjects()
    subjects.add("fileholder", [os.path.abspath(fileholder)])
    subjects.add("tree floor", [build(work, "tree_floor.c")])
    subjects.add("inotifywait -r loop", ["bash", "-c", TREE_INOTIFYWAIT_LOOP, "inotifywait"])
    subjects.add("Python glob loop", [sys.executable, "-c", TREE_PYTHON_LOOP])
    root_only(subjects, fileholder, work, {fanotify_tree_name(mark): mark for mark in marks})
    return subjects


def sleep_floor(work):
    return [build(work, "sleep_floor.c")]


def ensure_inotifywait():
    """Installs Debian's inotify-tools when missing, as root."""
    if shutil.which("inotifywait"):
        return
    if os.geteuid() == 0 and shutil.which("apt-get"):
        quiet = {"stdout": subprocess.DEVNULL, "env": dict(os.environ, DEBIAN_FRONTEND="noninteractive")}
        subprocess.run(["apt-get", "update", "-q"], check=False, **quiet)
        subprocess.run(["apt-get", "install", "-y", "-q", "--no-install-recommends", "inotify-tools"],
                       check=False, **quiet)
    if not shutil.which("inotifywait"):
        raise RuntimeError("inotifywait is missing: install Debian's inotify-tools")
