"""The zip for Windows (make package-win32): what it holds, and its linkspy.exe run under Wine
from the extracted folder."""

import os
import subprocess
import tempfile
import unittest
import zipfile

import wine
from wine import h

VERSION = "0.96"
ZIP = os.path.join(wine.SOURCE, "linkspy-%s-win32.zip" % VERSION)
FOLDER = "linkspy-%s-win32/" % VERSION


@unittest.skipUnless(os.path.exists(ZIP), "no %s (make package-win32)" % ZIP)
class Win32Zip(unittest.TestCase):
    def test_zip_holds_the_program_and_both_texts_with_crlf(self):
        with zipfile.ZipFile(ZIP) as archive:
            self.assertEqual(sorted(archive.namelist()), [
                FOLDER, FOLDER + "LINKSPY.TXT", FOLDER + "README.TXT", FOLDER + "linkspy.exe"])
            with open(wine.LINKSPY_EXE, "rb") as f:
                self.assertEqual(archive.read(FOLDER + "linkspy.exe"), f.read())
            readme = archive.read(FOLDER + "README.TXT")
            manual = archive.read(FOLDER + "LINKSPY.TXT")
        self.assertTrue(readme.startswith(b"LINKSPY 0.96 for Windows\r\n"))
        for text in (readme, manual):
            self.assertNotIn(b"\n", text.replace(b"\r\n", b""))
            text.decode("ascii")
        self.assertIn(b"LINKSPY_LOG_BACKUPS", manual)
        self.assertIn(b"EXIT STATUS", manual)

    def test_extracted_exe_prints_its_usage_under_wine(self):
        folder = tempfile.mkdtemp(prefix="linkspy-zip-")
        with zipfile.ZipFile(ZIP) as archive:
            archive.extractall(folder)
        exe = os.path.join(folder, FOLDER, "linkspy.exe")
        result = subprocess.run([wine.WINE, exe, "-h"], cwd=folder,
                                env=wine.wine_env(h.linkspy_env(folder)),
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr[-2000:])
        out = result.stdout.replace(b"\r\n", b"\n")
        self.assertIn(b"Usage: LOAD LINKSPY -h\n", out)
        self.assertTrue(out.endswith(b"Start example   : LOAD LINKSPY -2 -3\n\n"), out[-200:])
        self.assertFalse(os.path.exists(os.path.join(folder, "LINKSPY.LOG")))


if __name__ == "__main__":
    unittest.main(verbosity=2)
