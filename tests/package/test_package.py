"""What a user gets: the man page, cmake --install, the Debian package and the
Windows zip that scripts/dist.sh put in dist/."""

import errno
import gzip
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile
from unittest import mock

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "windows"))
from runner import DONE, PROMPT, Case, need_tool, start_line  # noqa: E402
from wine_prefix import EMULATION  # noqa: E402

PAGE_MESSAGES = [PROMPT.rstrip(b" \n"), start_line("NAME").rstrip(b"\n"), DONE.rstrip(b"\n")]


def setting(name):
    value = os.environ.get(name)
    if not value:
        raise unittest.SkipTest(f"{name} is not set (run through ctest --preset dist)")
    return value


def source(*parts):
    return os.path.join(setting("FILEHOLDER_SOURCE_DIR"), *parts)


def run_tool(*command, **options):
    """Runs a command to its end; returns (exit status, stdout and stderr)."""
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          stdin=subprocess.DEVNULL, timeout=240, **options)
    return done.returncode, done.stdout.decode(errors="replace")


def package(pattern):
    """The one package in dist/ named by pattern."""
    name = pattern.format(version=setting("FILEHOLDER_VERSION"))
    path = os.path.join(setting("FILEHOLDER_DIST"), name)
    if not os.path.isfile(path):
        raise AssertionError(f"{path} is missing: run scripts/dist.sh first")
    return path


class Holds(Case):
    def assert_holds_a_file(self, program, launcher=(), newline=b"\n"):
        """program, run on a file, prints the two lines, holds it and ends by SIGTERM."""
        self.make_file("held.txt")
        with mock.patch.dict(os.environ, FILEHOLDER_BINARY=program):
            self.launcher, self.newline = launcher, newline
            run = self.run_fileholder(["held.txt"])
        expected = start_line("held.txt") + DONE
        self.expect_output(run, expected)
        if not launcher:
            self.assertIsNotNone(run.fd_of(self.path("held.txt")), "the file is not held")
        self.assertTrue(run.stays_quiet())
        self.assertTrue(run.alive())
        self.assertEqual(run.stop(), -signal.SIGTERM)
        self.assertEqual(run.output, expected)


class ManPage(unittest.TestCase):
    def test_renders_without_a_warning(self):
        page = source("doc", "fileholder.1")
        for checker in (["groff", "-man", "-ww", "-z"], ["mandoc", "-T", "lint"]):
            with self.subTest(checker[0]):
                need_tool(self, checker[0])
                self.assertEqual(run_tool(*checker, page), (0, ""))

    def rendered(self):
        need_tool(self, "mandoc")
        code, text = run_tool("mandoc", "-T", "ascii", source("doc", "fileholder.1"))
        self.assertEqual(code, 0)
        return re.sub(r".\x08", "", text)  # no bold or underline

    def test_shows_each_message_exactly(self):
        lines = [line.strip() for line in self.rendered().splitlines()]
        for message in PAGE_MESSAGES:
            with self.subTest(message):
                self.assertIn(message.decode(), lines)

    def test_has_every_section(self):
        headings = re.findall(r"^([A-Z][A-Z ]+)$", self.rendered(), re.MULTILINE)
        self.assertEqual(headings, ["NAME", "SYNOPSIS", "DESCRIPTION", "OUTPUT", "EXIT STATUS",
                                    "EXAMPLES", "NOTES", "SEE ALSO"])

    def test_names_the_project_version(self):
        with open(source("doc", "fileholder.1")) as page:
            title = next(line for line in page if line.startswith(".TH "))
        self.assertIn(f'"fileholder {setting("FILEHOLDER_VERSION")}"', title)


class Install(Holds):
    # path under the prefix, mode
    EXPECTED = [
        ("bin", 0o755),
        ("bin/fileholder", 0o755),
        ("share", 0o755),
        ("share/man", 0o755),
        ("share/man/man1", 0o755),
        ("share/man/man1/fileholder.1.gz", 0o644),
        ("share/doc", 0o755),
        ("share/doc/fileholder", 0o755),
        ("share/doc/fileholder/copyright", 0o644),
        ("share/doc/fileholder/changelog.gz", 0o644),
    ]

    def install(self, *options):
        """Installs into a fresh DESTDIR; returns the prefix inside it."""
        destdir = tempfile.mkdtemp(prefix="fileholder-install-")
        self.addCleanup(shutil.rmtree, destdir, ignore_errors=True)
        # A umask that lets the group write: the modes must not follow it.
        code, log = run_tool("cmake", "--install", setting("FILEHOLDER_BUILD_DIR"),
                             "--prefix", "/usr/local", *options,
                             env=dict(os.environ, DESTDIR=destdir),
                             preexec_fn=lambda: os.umask(0o002))
        self.assertEqual(code, 0, log)
        return os.path.join(destdir, "usr", "local")

    def test_lays_out_exactly_these_files_and_modes(self):
        prefix = self.install()
        found = {}
        for folder, folders, names in os.walk(prefix):
            for name in folders + names:
                path = os.path.join(folder, name)
                found[os.path.relpath(path, prefix)] = os.stat(path).st_mode & 0o7777
        self.assertEqual(found, dict(self.EXPECTED))

    def test_man_page_is_the_source_gzipped_without_name_or_time(self):
        with open(os.path.join(self.install(), "share/man/man1/fileholder.1.gz"), "rb") as file:
            data = file.read()
        flags, mtime = data[3], struct.unpack("<I", data[4:8])[0]
        self.assertEqual((flags & 0x08, mtime), (0, 0), "gzip stored a name or a time")
        with open(source("doc", "fileholder.1"), "rb") as page:
            self.assertEqual(gzip.decompress(data), page.read())

    def test_installed_binary_holds_a_file(self):
        self.assert_holds_a_file(os.path.join(self.install(), "bin/fileholder"))

    def test_stripped_binary_holds_a_file_and_has_no_symbols(self):
        program = os.path.join(self.install("--strip"), "bin/fileholder")
        code, sections = run_tool(need_tool(self, "readelf"), "-S", "-W", program)
        self.assertEqual(code, 0)
        for section in (".symtab", ".comment"):
            self.assertNotIn(f" {section} ", sections)
        self.assert_holds_a_file(program)


class DebianPackage(Holds):
    def deb(self):
        arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True,
                              check=True, text=True).stdout.strip()
        return package("fileholder_{version}_" + arch + ".deb")

    def test_contents_with_owners_and_modes(self):
        code, listing = run_tool(need_tool(self, "dpkg-deb"), "--contents", self.deb())
        self.assertEqual(code, 0, listing)
        entries = {}
        for line in listing.splitlines():
            mode, owner, _, _, _, path = line.split(None, 5)
            entries[path] = (mode, owner)
        folder = ("drwxr-xr-x", "root/root")
        self.assertEqual(entries, {
            "./usr/": folder,
            "./usr/bin/": folder,
            "./usr/bin/fileholder": ("-rwxr-xr-x", "root/root"),
            "./usr/share/": folder,
            "./usr/share/doc/": folder,
            "./usr/share/doc/fileholder/": folder,
            "./usr/share/doc/fileholder/changelog.gz": ("-rw-r--r--", "root/root"),
            "./usr/share/doc/fileholder/copyright": ("-rw-r--r--", "root/root"),
            "./usr/share/man/": folder,
            "./usr/share/man/man1/": folder,
            "./usr/share/man/man1/fileholder.1.gz": ("-rw-r--r--", "root/root"),
        })

    def test_control_fields(self):
        code, control = run_tool(need_tool(self, "dpkg-deb"), "--field", self.deb())
        self.assertEqual(code, 0, control)
        fields = dict(re.findall(r"^(\S+): (.*)$", control, re.MULTILINE))
        named = [fields[key] for key in ("Package", "Version", "Section", "Priority")]
        self.assertEqual(named, ["fileholder", setting("FILEHOLDER_VERSION"), "utils", "optional"])
        self.assertRegex(fields["Maintainer"], r"^[^<>]+ <[^@\s]+@[^@\s]+>$")
        self.assertRegex(fields["Depends"], r"\blibc6 \(>= ")
        self.assertRegex(control, r"\n \S.*\n \.\n \S", "no extended description in paragraphs")

    def test_lintian_finds_no_error_or_warning(self):
        code, report = run_tool(need_tool(self, "lintian"), "--fail-on", "error,warning",
                                "--display-info", "--pedantic", self.deb())
        print(report)
        self.assertEqual(code, 0, report)
        self.assertEqual(re.findall(r"^[EW]: .*$", report, re.MULTILINE), [])

    def unpacked(self):
        folder = tempfile.mkdtemp(prefix="fileholder-deb-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        code, log = run_tool(need_tool(self, "dpkg-deb"), "--extract", self.deb(), folder)
        self.assertEqual(code, 0, log)
        return folder

    def test_packaged_binary_holds_a_file(self):
        self.assert_holds_a_file(os.path.join(self.unpacked(), "usr/bin/fileholder"))

    def test_documents_are_this_release(self):
        root = self.unpacked()
        version = setting("FILEHOLDER_VERSION")
        with gzip.open(os.path.join(root, "usr/share/man/man1/fileholder.1.gz"), "rb") as page, \
                open(source("doc", "fileholder.1"), "rb") as original:
            self.assertEqual(page.read(), original.read())
        with gzip.open(os.path.join(root, "usr/share/doc/fileholder/changelog.gz"), "rt") as log:
            self.assertTrue(log.readline().startswith(f"fileholder ({version}) "),
                            "the changelog has no entry for this version")
        with open(os.path.join(root, "usr/share/doc/fileholder/copyright")) as notice:
            self.assertIn("Copyright: 2026 The fileholder developers", notice.read())


class WindowsZip(Holds):
    def zip(self):
        return zipfile.ZipFile(package("fileholder-{version}-win32.zip"))

    def top(self):
        return f"fileholder-{setting('FILEHOLDER_VERSION')}-win32/"

    def test_holds_the_program_and_its_notes(self):
        with self.zip() as archive:
            names = sorted(archive.namelist())
        expected = ["LICENSE.txt", "README.txt", "fileholder.exe"]
        self.assertEqual(names, [self.top() + name for name in expected])

    def test_notes_have_crlf_line_ends_and_the_messages(self):
        with self.zip() as archive:
            for name in ("README.txt", "LICENSE.txt"):
                with self.subTest(name):
                    text = archive.read(self.top() + name)
                    self.assertTrue(text.endswith(b"\r\n"))
                    self.assertNotRegex(text, rb"(?<!\r)\n|\r(?!\n)", "a line end that is not CR LF")
            readme = archive.read(self.top() + "README.txt")
        title = f"fileholder {setting('FILEHOLDER_VERSION')} for Windows\r\n"
        self.assertTrue(readme.startswith(title.encode()))
        for message in (PROMPT.rstrip(b" \n"), start_line("").rstrip(b"\n"), DONE.rstrip(b"\n")):
            self.assertIn(message, readme)

    def unpacked_program(self):
        folder = tempfile.mkdtemp(prefix="fileholder-zip-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        with self.zip() as archive:
            archive.extractall(folder)
        return os.path.join(folder, self.top(), "fileholder.exe")

    def test_program_is_a_32_bit_console_exe_needing_only_system_dlls(self):
        program = self.unpacked_program()
        with open(program, "rb") as file:
            image = file.read()
        self.assertEqual(image[:2], b"MZ")
        pe = struct.unpack_from("<I", image, 0x3C)[0]
        self.assertEqual(image[pe:pe + 4], b"PE\0\0")
        machine = struct.unpack_from("<H", image, pe + 4)[0]
        # The optional header follows the 24 bytes of signature and file header.
        magic = struct.unpack_from("<H", image, pe + 24)[0]
        subsystem = struct.unpack_from("<H", image, pe + 24 + 68)[0]
        self.assertEqual((machine, magic, subsystem), (0x14C, 0x10B, 3), "not i386, PE32, console")
        code, headers = run_tool(need_tool(self, "i686-w64-mingw32-objdump"), "-p", program)
        self.assertEqual(code, 0, headers)
        dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", headers)}
        self.assertIn("msvcrt.dll", dlls)
        self.assertLessEqual(dlls, {"kernel32.dll", "msvcrt.dll", "winmm.dll"})

    def test_program_holds_a_file_under_wine(self):
        wine = need_tool(self, "wine")
        try:
            run_tool(need_tool(self, "/usr/lib/wine/wine"), "--version")
        except OSError as error:
            if error.errno != errno.ENOEXEC:
                raise
            # Not a missing tool, so not a failure on CI either: the machine.
            self.skipTest("this machine cannot run 32-bit x86 code: Wine's 32-bit loader "
                          "does not start, so neither does the 32-bit .exe")
        # A Wine prefix of its own, set up before the clock of the run starts;
        # no Mono or Gecko for a console program. The 64-bit loader sets it
        # up, as on 64-bit Windows, and starts Wine's own programs: where
        # 32-bit code runs only under emulation, that takes a minute, not four.
        prefix = os.path.join(tempfile.mkdtemp(prefix="fileholder-zip-wine-"), "prefix")
        self.addCleanup(shutil.rmtree, os.path.dirname(prefix), ignore_errors=True)
        settings = dict(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                        **EMULATION)
        boot = ["wineboot", "-i"]
        if os.access("/usr/lib/wine/wine64", os.X_OK):
            settings["WINELOADER"] = "/usr/lib/wine/wine64"
            boot.insert(0, settings["WINELOADER"])
        environment = dict(os.environ, **settings)
        self.addCleanup(run_tool, "wineserver", "-k", env=environment)
        for command in (boot, ["wineserver", "-w"]):
            self.assertEqual(run_tool(*command, env=environment)[0], 0, command)
        with mock.patch.dict(os.environ, settings):
            # msvcrt writes standard output in text mode: lines end with CR LF.
            self.assert_holds_a_file(self.unpacked_program(), launcher=(wine,), newline=b"\r\n")
