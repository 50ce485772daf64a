"""Sets up and takes down the Wine prefix that one run of the Windows tests shares.

    wine_prefix.py boot STATE_FILE
    wine_prefix.py shutdown STATE_FILE

boot makes a fresh prefix in a new temporary folder and lets Wine initialise
it, which takes seconds and so happens once per run; it writes the prefix's
path to STATE_FILE, where the tests read it. shutdown ends that prefix's
wineserver, with every Windows process still in it, and removes the folder
and STATE_FILE.

FILEHOLDER_WINE names the Wine loader that fits the build: "wine" (the
default) for the 32-bit program, /usr/lib/wine/wine64 for the 64-bit one.
The prefix is set up with that loader, and the tests start every Windows
program with it. FILEHOLDER_WINE_TOOLS, when set, names another loader for
setting up the prefix and for Wine's own programs (cmd, reg): the 32-bit tier
runs the 32-bit .exe with /usr/lib/wine/wine in a prefix that the 64-bit
loader set up, as on 64-bit Windows. Where 32-bit code runs only under
emulation, that sets the prefix up in about a minute rather than four, and
runs cmd and reg at full speed. Without Wine, boot skips (exit code 77), or
fails when CI=true.
"""

import os
import shutil
import subprocess
import sys
import tempfile

SKIPPED = 77
LINGER_SECONDS = 60
# No Mono or Gecko download prompt: console programs need neither.
ENVIRONMENT = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
# Where the kernel runs no 32-bit x86 code, scripts/test.sh has qemu-i386
# run it, and a 32-bit Wine process then takes some 55 s to start: Debian's
# Wine has no preloader to reserve its address space. Having qemu reserve it
# brings that to about 20 s; 0x80000000 or less is too little for Wine.
# Native programs ignore the setting.
EMULATION = {"QEMU_RESERVED_VA": os.environ.get("QEMU_RESERVED_VA") or "0x90000000"}


def tools_loader():
    """The Wine loader that sets up the prefix and runs Wine's own programs."""
    return os.environ.get("FILEHOLDER_WINE_TOOLS") or os.environ.get("FILEHOLDER_WINE") or "wine"


def wine_loader():
    """The Wine loader for the build under test, and the settings it needs."""
    loader = os.environ.get("FILEHOLDER_WINE") or "wine"
    # Called directly, a loader must also start Wine's own processes (cmd's
    # children, the services): the wine script would pick the 32-bit one.
    tools = tools_loader()
    return loader, dict({} if tools == "wine" else {"WINELOADER": tools}, **EMULATION)


def wine_environment(prefix):
    return dict(os.environ, WINEPREFIX=prefix, **ENVIRONMENT, **wine_loader()[1])


def boot(state_file):
    loader = tools_loader()
    missing = [tool for tool in (loader, "wineserver") if not shutil.which(tool)]
    if missing:
        print(f"{', '.join(missing)} not installed: the Windows tests cannot run", flush=True)
        return 1 if os.environ.get("CI") == "true" else SKIPPED
    shutdown(state_file)
    folder = tempfile.mkdtemp(prefix="fileholder-wine-")
    prefix = os.path.join(folder, "prefix")
    with open(state_file, "w") as state:
        state.write(prefix)
    environment = wine_environment(prefix)
    subprocess.run([loader, "wineboot", "-i"], env=environment, check=True, timeout=240,
                   stdin=subprocess.DEVNULL)
    # wineboot returns before the prefix's setup is written out in full.
    subprocess.run(["wineserver", "-w"], env=environment, check=True, timeout=120)
    # Starting the server and Wine's services anew takes seconds, longer on a
    # busy machine; one server stays up for the whole run instead, with the
    # services started here. Should shutdown never come, it ends by itself a
    # minute after the last Windows process. Their output goes nowhere: they
    # outlive this script and must not keep the caller's pipe open.
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", f"-p{LINGER_SECONDS}"], env=environment, check=True, timeout=60,
                   **quiet)
    subprocess.run([loader, "cmd", "/c", "exit"], env=environment, check=True, timeout=120, **quiet)
    print(f"Wine prefix ready: {prefix}")
    return 0


def shutdown(state_file):
    try:
        with open(state_file) as state:
            prefix = state.read().strip()
    except FileNotFoundError:
        return 0
    if shutil.which("wineserver") and os.path.isdir(prefix):
        subprocess.run(["wineserver", "-k"], env=wine_environment(prefix), timeout=60)
        subprocess.run(["wineserver", "-w"], env=wine_environment(prefix), timeout=60)
    shutil.rmtree(os.path.dirname(prefix), ignore_errors=True)
    os.remove(state_file)
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("boot", "shutdown"):
        sys.exit(__doc__)
    sys.exit({"boot": boot, "shutdown": shutdown}[sys.argv[1]](sys.argv[2]))
