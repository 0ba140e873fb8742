"""Installing: the manual pages format without a warning and name every option and action,
`cmake --install` lays out exactly its tree, the Debian package built from debian/ carries its
metadata, maintainer scripts and hardened, stripped binaries, builds the same bytes in another
folder, passes lintian, its extracted linkspy runs against qz7emu, and systemd accepts the
service unit. Its life under a real systemd is tests/service (make test-service)."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

sys.path.insert(0, os.path.dirname(__file__))
import harness as h  # noqa: E402
import processes  # noqa: E402

SOURCE = os.environ.get("LINKSPY_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
MAN_PAGES = [os.path.join(SOURCE, "man", name) for name in ("linkspy.1", "qz7emu.1")]


def format_manual(path):
    """The page as plain text and what man said about it on standard error."""
    result = subprocess.run(["man", "--warnings", "-E", "ascii", "-l", path],
                            env=dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8", MANPAGER="cat"),
                            capture_output=True, timeout=60)
    return result.stdout.decode("ascii", "replace"), result.stderr.decode("utf-8", "replace")


@unittest.skipIf(shutil.which("man") is None, "man is not installed (scripts/install-deps adds it)")
class ManualPages(unittest.TestCase):
    def test_pages_format_without_warnings(self):
        for page in MAN_PAGES:
            text, warnings = format_manual(page)
            self.assertEqual(warnings, "", page)
            self.assertIn("EXIT STATUS", text, page)

    def test_linkspy_page_names_every_option_variable_and_dot_command(self):
        text, _ = format_manual(MAN_PAGES[0])
        for option in "-2 -3 -4 -b -p -a -d -e -cNO -h".split():
            self.assertRegex(text, r"\n {7}%s\b" % re.escape(option))
        for command in ".a .c .d .e .f .h .l .m .p .s .t .w .x".split():
            self.assertRegex(text, r"\n {7}%s\b" % re.escape(command))
        for word in ("LINKSPY_LOG_BACKUPS", "LINKSPY_CAPI_LIBRARY", "/etc/capi20.conf",
                     "REMOTE rcapi", "linkspy@.service", "journalctl", "SIGTERM", "255"):
            self.assertIn(word, text)

    @h.needs(h.QZ7EMU)
    def test_qz7emu_page_names_every_option_of_its_usage_text(self):
        usage = subprocess.run([h.QZ7EMU, "--help"], capture_output=True, timeout=10).stdout
        options = set(re.findall(r"--[a-z-]+", usage.decode()))
        self.assertGreater(len(options), 15)
        text, _ = format_manual(MAN_PAGES[1])
        for option in sorted(options):
            self.assertIn(option, text)
        for action in ("wait", "after", "wait-decoder", "trace", "text", "withhold", "late",
                       "wrong", "answer", "raw", "rawframe", "stall", "oversize", "flood",
                       "garbage", "rate", "download", "drop", "exit"):
            self.assertRegex(text, r"\n {7}%s\b" % re.escape(action))


def files_below(root):
    found = set()
    for folder, _, names in os.walk(root):
        for name in names:
            found.add(os.path.relpath(os.path.join(folder, name), root))
    return found


@h.needs(h.LINKSPY, h.QZ7EMU)
class InstallTree(unittest.TestCase):
    def test_install_under_prefix_and_destdir(self):
        root = tempfile.mkdtemp(prefix="linkspy-install-")
        subprocess.run(["cmake", "--install", h.BUILD, "--prefix", "/opt/ls"], check=True,
                       env=dict(os.environ, DESTDIR=root), capture_output=True, timeout=120)
        self.assertEqual(files_below(root), {
            "opt/ls/bin/linkspy", "opt/ls/bin/qz7emu",
            "opt/ls/share/man/man1/linkspy.1", "opt/ls/share/man/man1/qz7emu.1",
            "opt/ls/share/doc/linkspy/README.md", "opt/ls/share/doc/linkspy/linkspy@.service",
            "opt/ls/share/doc/linkspy/examples/linkspy.default",
            "opt/ls/lib/systemd/system/linkspy@.service", "opt/ls/lib/tmpfiles.d/linkspy.conf"})
        with open(os.path.join(root, "opt/ls/lib/systemd/system/linkspy@.service")) as f:
            self.assertIn("\nExecStart=/opt/ls/bin/linkspy $OPTIONS -c%i\n", f.read())
        self.assertTrue(os.access(os.path.join(root, "opt/ls/bin/linkspy"), os.X_OK))


class PackageVersion(unittest.TestCase):
    def test_changelog_carries_the_programs_version_without_revision(self):
        with open(os.path.join(SOURCE, "control", "records", "program_identity.h")) as f:
            program = re.search(r'kProgramVersion = "([^"]+)"', f.read()).group(1)
        with open(os.path.join(SOURCE, "debian", "changelog")) as f:
            self.assertRegex(f.readline(), r"^linkspy \(%s\) " % re.escape(program))
        with open(os.path.join(SOURCE, "debian", "source", "format")) as f:
            self.assertEqual(f.read(), "3.0 (native)\n")


def build_package(out):
    """The package built by dpkg-buildpackage in a fresh folder (without the unit tests, which
    ctest runs itself); the paths of the .deb and the .dsc."""
    made = subprocess.run([os.path.join(SOURCE, "scripts", "make-package"), out],
                          env=dict(os.environ, DEB_BUILD_OPTIONS="nocheck"),
                          capture_output=True, timeout=1200)
    if made.returncode != 0:
        raise AssertionError("make-package failed: %s" % made.stderr.decode()[-3000:])
    return made.stdout.decode().split()


def readelf(*args):
    return subprocess.run(["readelf", "--wide", *args], capture_output=True, check=True,
                          timeout=60).stdout.decode()


@unittest.skipIf(shutil.which("dh") is None or shutil.which("dpkg-buildpackage") is None,
                 "debhelper or dpkg-dev is not installed (scripts/install-deps adds them)")
@h.needs(h.QZ7EMU)
class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if h.sanitized_build():
            raise unittest.SkipTest("the package does not come from the sanitizer build")
        cls.out = tempfile.mkdtemp(prefix="linkspy-deb-")
        cls.deb, cls.dsc = build_package(cls.out)
        cls.root = os.path.join(cls.out, "root")
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True, timeout=60)
        cls.control = os.path.join(cls.out, "control")
        subprocess.run(["dpkg-deb", "-e", cls.deb, cls.control], check=True, timeout=60)

    def field(self, name, deb=None):
        return subprocess.run(["dpkg-deb", "-f", deb or self.deb, name], capture_output=True,
                              check=True).stdout.decode().strip()

    def test_name_and_metadata(self):
        arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True,
                              check=True).stdout.decode().strip()
        self.assertEqual(os.path.basename(self.deb), "linkspy_0.96_%s.deb" % arch)
        self.assertEqual(os.path.basename(self.dsc), "linkspy_0.96.dsc")
        self.assertEqual(self.field("Version"), "0.96")
        depends = [d.strip().split(" ")[0] for d in self.field("Depends").split(",")]
        for package in ("libcapi20-3", "adduser", "libncursesw6", "libstdc++6", "libc6"):
            self.assertIn(package, depends)
        self.assertEqual(self.field("Section"), "net")
        with open(os.path.join(self.control, "conffiles")) as f:
            self.assertEqual(f.read().split(), ["/etc/default/linkspy"])
        for path in ("usr/share/doc/linkspy/copyright", "usr/share/doc/linkspy/changelog.gz",
                     "usr/share/man/man1/linkspy.1.gz", "lib/systemd/system/linkspy@.service",
                     "usr/lib/tmpfiles.d/linkspy.conf"):
            self.assertTrue(os.path.isfile(os.path.join(self.root, path)), path)
        with open(os.path.join(self.root, "etc/default/linkspy")) as f:
            self.assertIn("\nLINKSPY_LOG_BACKUPS=20\n", f.read())

    def test_maintainer_scripts_make_the_user_and_keep_instances_in_step(self):
        scripts = {}
        for name in ("postinst", "prerm", "postrm"):
            path = os.path.join(self.control, name)
            self.assertTrue(os.access(path, os.X_OK), name)
            subprocess.run(["sh", "-n", path], check=True)
            with open(path) as f:  # the commands, without the comments that tell why
                scripts[name] = "".join(line for line in f if not line.startswith("#"))
        postinst = scripts["postinst"]
        self.assertRegex(postinst, r"adduser .*--system --group")
        # The user exists before systemd-tmpfiles and before any instance restarts.
        self.assertLess(postinst.index("adduser"), postinst.index("systemd-tmpfiles"))
        self.assertIn("--create linkspy.conf", postinst)
        self.assertLess(postinst.index("systemd-tmpfiles"), postinst.index("try-restart"))
        self.assertIn("deb-systemd-invoke try-restart 'linkspy@*.service'", postinst)
        self.assertIn("deb-systemd-invoke stop 'linkspy@*.service'", scripts["prerm"])
        self.assertIn("daemon-reload", scripts["postrm"])
        self.assertNotRegex(postinst, r"deb-systemd-helper .*enable")
        with open(os.path.join(self.root, "lib/systemd/system/linkspy@.service")) as f:
            self.assertIn("\nUser=linkspy\n", f.read())

    def test_binaries_are_hardened_and_stripped_with_symbols_in_dbgsym(self):
        dbgsym = os.path.join(self.out, os.path.basename(self.deb).replace("_", "-dbgsym_", 1))
        listing = subprocess.run(["dpkg-deb", "-c", dbgsym], capture_output=True,
                                 check=True).stdout.decode()
        for name in ("linkspy", "qz7emu"):
            program = os.path.join(self.root, "usr/bin", name)
            with self.subTest(name):
                self.assertIn("Type:                              DYN", readelf("-h", program))
                dynamic = readelf("-d", program)
                self.assertRegex(dynamic, r"\(FLAGS\)\s+BIND_NOW")
                self.assertRegex(dynamic, r"\(FLAGS_1\)\s+Flags: NOW PIE")
                self.assertIn("GNU_RELRO", readelf("-l", program))
                symbols = readelf("--dyn-syms", program)
                self.assertIn("__stack_chk_fail", symbols)
                self.assertRegex(symbols, r"__\w+_chk@")  # a FORTIFY-checked call
                sections = readelf("-S", program)
                self.assertNotIn(".symtab", sections)
                self.assertNotIn(".debug_info", sections)
                build_id = re.search(r"Build ID: ([0-9a-f]+)", readelf("-n", program)).group(1)
                self.assertIn("/usr/lib/debug/.build-id/%s/%s.debug" % (build_id[:2], build_id[2:]),
                              listing)

    def test_the_same_source_builds_the_same_bytes_in_another_folder(self):
        other = tempfile.mkdtemp(prefix="linkspy-deb-again-in-a-longer-folder-")
        deb, _ = build_package(other)
        for name in (os.path.basename(deb), os.path.basename(deb).replace("_", "-dbgsym_", 1)):
            with open(os.path.join(self.out, name), "rb") as a, \
                    open(os.path.join(other, name), "rb") as b:
                self.assertTrue(a.read() == b.read(), "%s differs between two builds" % name)

    @unittest.skipIf(shutil.which("lintian") is None,
                     "lintian is not installed (make package-check installs it and runs it)")
    def test_lintian_finds_no_error_and_no_warning(self):
        result = subprocess.run(["lintian", "--fail-on", "error,warning", self.deb, self.dsc],
                                capture_output=True, timeout=600)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_packaged_linkspy_runs_against_the_emulator(self):
        with h.Emulator("--rate", "50") as emulator:
            folder = h.run_folder(emulator.port)
            # Headless takes the program's path from processes.py.
            with mock.patch.object(processes, "LINKSPY", self.packaged()):
                run = h.Headless(folder, ["-2", "-3"])
            try:
                self.assertTrue(run.wait_for(b"D-Channel Protocol: DSS-1", timeout=20), run.out)
                self.assertTrue(h.wait_until(
                    lambda: b" L2D " in (h.read_log(folder) or b""), timeout=20))
                run.send(h.CTRL["X"])
                self.assertEqual(run.finish(timeout=20), 0)
            finally:
                run.kill()
            self.assertIn(b"Program unloaded", h.read_log(folder))
            self.assertIn(b"[Initializing and starting module: %s]" % h.program_name(
                self.packaged()), run.out)

    def packaged(self):
        return os.path.join(self.root, "usr", "bin", "linkspy")

    @unittest.skipIf(shutil.which("systemd-analyze") is None,
                     "systemd-analyze is not installed: the unit is not verified")
    def test_systemd_accepts_the_unit(self):
        # The unit as packaged, pointed at the extracted program and manual page.
        folder = tempfile.mkdtemp(prefix="linkspy-unit-")
        with open(os.path.join(self.root, "lib/systemd/system/linkspy@.service")) as f:
            unit = f.read()
        self.assertIn("ExecStart=/usr/bin/linkspy ", unit)
        with open(os.path.join(folder, "linkspy@.service"), "w") as f:
            f.write(unit.replace("/usr/bin/linkspy", self.packaged()))
        instance = os.path.join(folder, "linkspy@1.service")
        result = subprocess.run(
            ["systemd-analyze", "verify", instance],
            env=dict(os.environ, MANPATH=os.path.join(self.root, "usr/share/man")),
            capture_output=True, timeout=120)
        self.assertEqual((result.returncode, result.stdout + result.stderr), (0, b""))
        # The hardening keeps systemd's exposure rating low (2.5 of 10 at most; it is 1.7).
        result = subprocess.run(
            ["systemd-analyze", "security", "--offline=true", "--threshold=25", instance],
            capture_output=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stdout[-3000:])


if __name__ == "__main__":
    h.main()
