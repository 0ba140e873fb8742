"""The Debian package under a real systemd: a minimal Debian 12 root, made once by debootstrap
and kept outside the clone, booted with systemd-nspawn on a throw-away overlay; the package is
installed in it and linkspy@1 monitors qz7emu, which runs on this machine (the container shares
its network). Run by `make test-service` as root; where the root cannot be made or booted the
test says why and is skipped, unless CI=true, where that fails the run."""

import glob
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
import harness as h  # noqa: E402

ROOT = os.environ.get("LINKSPY_TEST_ROOT", "/var/cache/linkspy-test-root")
DEB = os.environ.get("LINKSPY_DEB", "")
IN_CI = os.environ.get("CI") == "true"
# What the root holds besides the minimal base: systemd as init, and what the package needs.
INCLUDE = "systemd,systemd-sysv,libcapi20-3,adduser,libncursesw6,passwd,systemd-journal-remote"
UNIT = "linkspy@1.service"
LOG = "/var/log/linkspy/1/LINKSPY.LOG"
LOCK = "/var/log/linkspy/1/LINKSPY.LCK"
JOURNAL_REMOTE = "/lib/systemd/systemd-journal-remote"


def unusable(reason):
    """Skips the tests for a reason of this machine; in CI that is a failure."""
    if IN_CI:
        raise AssertionError("CI cannot run the service test: " + reason)
    raise unittest.SkipTest(reason)


def debian_mirror():
    """The Debian archive this machine's apt uses (deb822 or one-line sources)."""
    for path in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")):
        with open(path) as f:
            for stanza in f.read().split("\n\n"):
                fields = dict(re.findall(r"^([A-Za-z-]+):\s*(.*)$", stanza, re.M))
                if "bookworm" in fields.get("Suites", "").split() and "Types" in fields:
                    return fields["URIs"].split()[0]
    for path in ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*.list")):
        try:
            with open(path) as f:
                for line in f:
                    words = re.sub(r"\[[^]]*\]", "", line).split()
                    if len(words) >= 3 and words[0] == "deb" and words[2] == "bookworm":
                        return words[1]
        except FileNotFoundError:
            pass
    return "http://deb.debian.org/debian"


def ensure_root():
    """Makes the cached root when it is missing; a failed attempt leaves nothing behind. A root
    made before the journal's upload was tested gets that package installed into it."""
    if os.path.exists(os.path.join(ROOT, "usr/lib/systemd/systemd")):
        if not os.path.exists(os.path.join(ROOT, "usr/lib/systemd/systemd-journal-upload")):
            add_to_root("systemd-journal-remote")
        return
    if shutil.which("debootstrap") is None:
        unusable("debootstrap is not installed (scripts/install-deps --service)")
    building = ROOT + ".building"
    shutil.rmtree(building, ignore_errors=True)
    os.makedirs(os.path.dirname(ROOT), exist_ok=True)
    mirror = debian_mirror()
    print("making the Debian 12 root %s from %s" % (ROOT, mirror), file=sys.stderr)
    made = subprocess.run(["debootstrap", "--variant=minbase", "--include=" + INCLUDE,
                           "bookworm", building, mirror], capture_output=True, timeout=1800)
    if made.returncode != 0:
        shutil.rmtree(building, ignore_errors=True)
        unusable("debootstrap failed: %s" % made.stdout.decode()[-800:])
    os.rename(building, ROOT)


def add_to_root(package):
    """Installs one Debian package into the cached root, from the mirror it was made from."""
    print("installing %s into %s" % (package, ROOT), file=sys.stderr)
    added = subprocess.run(
        ["systemd-nspawn", "--quiet", "--register=no", "--keep-unit", "--directory", ROOT,
         "sh", "-c", "apt-get update -q && apt-get install -y -q --no-install-recommends " +
         package], stdin=subprocess.DEVNULL, capture_output=True, timeout=900)
    if added.returncode != 0:
        unusable("%s could not be installed into %s: %s" % (
            package, ROOT, (added.stdout + added.stderr).decode()[-800:]))


def leader_of(nspawn_pid):
    """The host PID of the container's init: a descendant of nspawn that is PID 1 inside."""
    for status in glob.glob("/proc/[0-9]*/status"):
        try:
            with open(status) as f:
                text = f.read()
        except OSError:
            continue
        spaces = re.search(r"^NSpid:\s+(.*)$", text, re.M)
        if not spaces or spaces.group(1).split()[-1] != "1" or len(spaces.group(1).split()) < 2:
            continue
        pid = int(status.split("/")[2])
        parent = pid
        while parent > 1:
            if parent == nspawn_pid:
                return pid
            with open("/proc/%d/stat" % parent) as f:
                parent = int(f.read().rsplit(")", 1)[1].split()[1])
    return None


def free_port():
    """A loopback port nothing listens on now."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Collector:
    """systemd-journal-remote on this machine's loopback, as a collector host runs it: plain
    HTTP, one journal file per uploading host in a folder of the scratch folder."""

    def __init__(self):
        if not os.access(JOURNAL_REMOTE, os.X_OK):
            unusable("%s is missing (scripts/install-deps --service)" % JOURNAL_REMOTE)
        self.port = free_port()
        self.folder = os.path.join(tempfile.gettempdir(), "collector")
        os.makedirs(self.folder)
        self.output = open(os.path.join(tempfile.gettempdir(), "journal-remote.log"), "w+b")
        self.process = subprocess.Popen(
            [JOURNAL_REMOTE, "--listen-http=127.0.0.1:%d" % self.port,
             "--output=" + self.folder + "/"],
            stdin=subprocess.DEVNULL, stdout=self.output, stderr=subprocess.STDOUT)
        h.ends_with_test(self.stop)

    def journal(self, *args):
        """What journalctl reads in the collector's folder."""
        return subprocess.run(["journalctl", "--no-pager", "-D", self.folder, *args],
                              capture_output=True).stdout.decode("utf-8", "replace")

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=30)
        self.output.close()


class Container:
    """The cached root booted by systemd-nspawn on a tmpfs overlay, reached with nsenter."""

    def __init__(self):
        # In the scratch folder: kept with the other files when a test fails.
        self.console = open(os.path.join(tempfile.gettempdir(), "nspawn-console.log"), "w+b")
        self.process = subprocess.Popen(
            # No registration and no scope of its own: this machine has no system bus.
            ["systemd-nspawn", "--quiet", "--boot", "--register=no", "--keep-unit",
             "--volatile=overlay",
             "--directory", ROOT, "--machine", "linkspy-test", "--console=pipe"],
            stdin=subprocess.DEVNULL, stdout=self.console, stderr=subprocess.STDOUT)
        h.ends_with_test(self.stop)
        self.leader = h.wait_until(lambda: self.process.poll() is None and
                                   leader_of(self.process.pid), timeout=30)
        if not self.leader:
            console = self.console_text()
            self.stop()
            unusable("systemd-nspawn did not boot %s: %s" % (ROOT, console))
        # "offline" until the container's systemd listens, "starting" while it boots.
        booted = (b"running", b"degraded")
        state = h.wait_until(lambda: self.run("systemctl", "is-system-running").stdout.strip()
                             in booted, timeout=120, interval=0.5)
        if not state:
            failed = self.run("systemctl", "--failed", "--no-legend").stdout.decode()
            self.stop()
            unusable("the container's systemd is %r; failed units: %s" % (state, failed))

    def console_text(self):
        with open(self.console.name, errors="replace") as f:
            return f.read()[-1500:]

    def run(self, *command, timeout=60, check=False):
        """A command inside the container, with the container's namespaces and root."""
        result = subprocess.run(["nsenter", "-t", str(self.leader), "-a", *command],
                                capture_output=True, timeout=timeout)
        if check and result.returncode != 0:
            raise AssertionError("%s: %d %r" % (" ".join(command), result.returncode,
                                                result.stdout + result.stderr))
        return result

    def path(self, name):
        """A path inside the container as this machine sees it."""
        return "/proc/%d/root%s" % (self.leader, name)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)  # nspawn powers the container off
            try:
                self.process.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.console.close()


@unittest.skipIf(os.geteuid() != 0, "the service test boots a container: run it as root")
@h.needs(h.QZ7EMU)
class Service(unittest.TestCase):
    """One instance's life, in order: start, report, lost link, restart, readers, upgrade,
    stop, purge. Each step builds on the one before."""

    @classmethod
    def setUpClass(cls):
        if not DEB or not os.path.isfile(DEB):
            raise AssertionError("LINKSPY_DEB names no package: %r (make test-service)" % DEB)
        for tool in ("systemd-nspawn", "nsenter"):
            if shutil.which(tool) is None:
                unusable("%s is not installed (scripts/install-deps --service)" % tool)
        ensure_root()
        cls.emulator = h.Emulator("--rate", "20")
        cls.port = cls.emulator.port
        cls.collector = Collector()
        cls.box = Container()
        try:
            # Every entry of the container's journal goes to the collector, from its first on.
            with open(cls.box.path("/etc/systemd/journal-upload.conf"), "w") as f:
                f.write("[Upload]\nURL=http://127.0.0.1:%d\n" % cls.collector.port)
            cls.box.run("systemctl", "enable", "--now", "systemd-journal-upload.service",
                        check=True)
            with open(cls.box.path("/etc/capi20.conf"), "w") as f:
                f.write("REMOTE rcapi 127.0.0.1 %d\nTRACELEVEL 0\n" % cls.port)
            shutil.copy(DEB, cls.box.path("/tmp/linkspy.deb"))
            cls.box.run("dpkg", "-i", "/tmp/linkspy.deb", check=True, timeout=120)
            cls.box.run("useradd", "--groups", "adm", "reader", check=True)
            cls.box.run("useradd", "outsider", check=True)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.box.stop()
        cls.emulator.stop()
        cls.collector.stop()

    def systemctl(self, *args):
        return self.box.run("systemctl", *args).stdout.decode().strip()

    def journal(self, *args):
        return self.box.run("journalctl", "--no-pager", "-u", UNIT, *args).stdout.decode(
            "utf-8", "replace")

    def log(self):
        with open(self.box.path(LOG), "rb") as f:
            return f.read()

    def show(self, prop):
        return self.systemctl("show", "--value", "-p", prop, UNIT)

    def wait_active(self):
        self.assertTrue(h.wait_until(lambda: self.systemctl("is-active", UNIT) == "active",
                                     timeout=30), self.journal())

    def test_1_installed_not_enabled_then_started_monitors_into_the_journal(self):
        self.assertEqual(self.box.run("id", "-nG", "linkspy").stdout.split(), [b"linkspy"])
        self.assertEqual(glob.glob(self.box.path("/etc/systemd/system/*/linkspy@*")), [])
        self.systemctl("start", UNIT)
        self.wait_active()
        self.assertTrue(h.wait_until(lambda: "D-Channel Protocol: DSS-1" in self.journal(),
                                     timeout=30), self.journal())
        self.assertTrue(h.wait_until(lambda: b" L2D " in self.log(), timeout=30))
        self.assertIn("Keeping 20 log backups", self.journal())

    def test_2_group_adm_reads_the_log_nobody_else_and_only_linkspy_writes(self):
        as_reader = self.box.run("runuser", "-u", "reader", "--", "cat", LOG)
        self.assertEqual(as_reader.returncode, 0, as_reader.stderr)
        self.assertIn(b"Start program LINKSPY", as_reader.stdout)
        self.assertNotEqual(self.box.run("runuser", "-u", "outsider", "--", "cat", LOG)
                            .returncode, 0)
        appending = self.box.run("runuser", "-u", "reader", "--", "sh", "-c", "echo x >>" + LOG)
        self.assertNotEqual(appending.returncode, 0)
        owner = self.box.run("stat", "-c", "%U %a", LOG).stdout.decode().split()
        self.assertEqual(owner, ["linkspy", "640"])
        # The writers' lock file is linkspy's alone: a reader cannot take its lock.
        locking = self.box.run("runuser", "-u", "reader", "--", "flock", "-n", LOCK, "true")
        self.assertNotEqual(locking.returncode, 0)
        owner = self.box.run("stat", "-c", "%U %a", LOCK).stdout.decode().split()
        self.assertEqual(owner, ["linkspy", "600"])

    def test_3_lost_link_is_an_error_and_systemd_starts_it_again(self):
        self.emulator.kill()
        lost = "LINKSPY: Connection to the CAPI provider lost"
        self.assertTrue(h.wait_until(lambda: lost in self.journal(), timeout=60),
                        self.journal()[-3000:])
        self.assertTrue(h.wait_until(lambda: self.show("ExecMainStatus") == "255" or
                                     self.show("NRestarts") != "0", timeout=30))
        self.emulator.stop()
        type(self).emulator = h.Emulator("--rate", "20", "--port", str(self.port))
        h.outlasts_test(type(self).emulator.stop)  # the later steps need it
        self.assertTrue(h.wait_until(lambda: self.show("NRestarts") == "1", timeout=30))
        self.wait_active()
        self.assertTrue(h.wait_until(
            lambda: self.journal().count("D-Channel Protocol: DSS-1") == 2, timeout=30))
        # The journal's priorities and text (the lines of a shutdown included).
        with self.subTest("the lost link at priority err"):
            self.assertIn(lost, self.journal("-p", "err"))
        with self.subTest("no line stored as a blob"):
            self.assertNotIn("blob data", self.journal())

    def test_4_an_upgrade_restarts_the_running_instance(self):
        before = self.show("MainPID")
        self.assertNotEqual(before, "0")
        self.box.run("dpkg", "-i", "/tmp/linkspy.deb", check=True, timeout=120)
        self.wait_active()
        self.assertNotIn(self.show("MainPID"), (before, "0"))
        self.assertEqual(self.show("NeedDaemonReload"), "no")

    def test_5_stop_ends_with_program_unloaded(self):
        self.systemctl("stop", UNIT)
        self.assertEqual(self.systemctl("is-active", UNIT), "inactive")
        self.assertEqual(self.show("ExecMainStatus"), "0")
        self.assertIn(b"Program unloaded", self.log().rstrip(b"\n").rsplit(b"\n", 1)[-1])

    def test_6_purge_stops_every_running_instance_and_removes_the_unit(self):
        self.systemctl("start", UNIT)
        self.wait_active()
        self.box.run("dpkg", "--purge", "linkspy", check=True, timeout=120)
        self.assertEqual(self.systemctl("list-units", "--no-legend", "--state=active",
                                        "linkspy@*"), "")
        self.assertFalse(os.path.exists(self.box.path("/lib/systemd/system/linkspy@.service")))
        self.assertNotEqual(self.box.run("systemctl", "cat", "linkspy@.service").returncode, 0)
        self.assertIn(b"Program unloaded", self.log().rstrip(b"\n").rsplit(b"\n", 1)[-1])

    def test_7_the_collector_has_the_instance_lines_under_the_container_host_name(self):
        host = self.box.run("hostname").stdout.decode().strip()
        instance = ("_HOSTNAME=" + host, "-u", UNIT)
        self.assertTrue(h.wait_until(lambda: self.collector.journal(*instance).count(
            "D-Channel Protocol: DSS-1") >= 2, timeout=60), self.collector.journal()[-3000:])
        lost = "LINKSPY: Connection to the CAPI provider lost"
        self.assertIn(lost, self.collector.journal(*instance, "-p", "err"))
        self.assertNotIn("D-Channel Protocol", self.collector.journal(*instance, "-p", "err"))
        self.assertNotIn("blob data", self.collector.journal(*instance))
        self.assertNotIn("D-Channel Protocol", self.collector.journal("_HOSTNAME=not-" + host))


if __name__ == "__main__":
    h.main()
