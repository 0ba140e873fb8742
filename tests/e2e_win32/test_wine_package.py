"""The Windows product (make win32, make package-win32): linkspy.exe a stripped PE32 that
imports only system DLLs and carries the version information of the program's own constants;
the zip with it and the two texts for Windows; and the zip's linkspy.exe run under Wine from
the extracted folder (where only wine64 runs, the 64-bit test build in its place)."""

import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest
import zipfile

import wine
from wine import h

OBJDUMP = os.environ.get("LINKSPY_OBJDUMP", "i686-w64-mingw32-objdump")


def source_text(path, name):
    """The string constant name as the program's source file at path defines it."""
    with open(os.path.join(wine.SOURCE, path)) as f:
        return re.search(name + r' =\s*"([^"]*)"', f.read()).group(1)


VERSION = source_text("control/records/program_identity.h", "kProgramVersion")
ZIP = os.path.join(wine.SOURCE, "linkspy-%s-win32.zip" % VERSION)
FOLDER = "linkspy-%s-win32/" % VERSION
UNSTRIPPED_EXE = os.path.join(wine.WIN32_BUILD, "linkspy-unstripped.exe")

# DLLs that every Windows has; the mingw runtime (libgcc_s_*, libstdc++-6, libwinpthread-1)
# must not be among the imports.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "msvcrt.dll", "advapi32.dll", "gdi32.dll",
               "shell32.dll", "ws2_32.dll", "ntdll.dll"}


def objdump(*args):
    return subprocess.run([OBJDUMP, *args], capture_output=True, text=True, check=True).stdout


def version_resource(exe):
    """The VS_VERSIONINFO of a PE file: (the four numbers of FILEVERSION, of PRODUCTVERSION,
    {string name: value}), read by hand from the resource directory."""
    with open(exe, "rb") as f:
        data = f.read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    resource_rva = struct.unpack_from("<I", data, optional + 96 + 2 * 8)[0]
    table = [struct.unpack_from("<8xIIII", data, optional + optional_size + 40 * i)
             for i in range(sections)]

    def offset(rva):
        for _, address, raw_size, raw in table:
            if address <= rva < address + raw_size:
                return rva - address + raw
        raise ValueError("RVA %x outside the sections" % rva)

    base = offset(resource_rva)

    def entries(directory):
        named, ids = struct.unpack_from("<HH", data, base + directory + 12)
        for i in range(named + ids):
            yield struct.unpack_from("<II", data, base + directory + 16 + 8 * i)

    # Type 16 (RT_VERSION), its first name, its first language, then the data entry.
    node = next(target for key, target in entries(0) if key == 16)
    for _ in range(2):
        node = next(entries(node & 0x7FFFFFFF))[1]
    rva, size = struct.unpack_from("<II", data, base + node)
    info = data[offset(rva):offset(rva) + size]

    def block(at):
        """One node of the version tree: (key, value bytes, children, end)."""
        length, value_length, kind = struct.unpack_from("<HHH", info, at)
        key_end = at + 6
        while info[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = info[at + 6:key_end].decode("utf-16-le")
        value_at = (key_end + 2 + 3) & ~3
        value_size = value_length * 2 if kind == 1 else value_length
        value = info[value_at:value_at + value_size]
        children, child = [], (value_at + value_size + 3) & ~3
        while child < at + length:
            children.append(block(child))
            child = (children[-1][3] + 3) & ~3
        return key, value, children, at + length

    key, fixed, children, _ = block(0)
    assert key == "VS_VERSION_INFO", key
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
    assert signature == 0xFEEF04BD, hex(signature)
    strings = {}
    for name, _, tables, _ in children:
        if name == "StringFileInfo":
            for _, _, values, _ in tables:
                for string, value, _, _ in values:
                    strings[string] = value.decode("utf-16-le").rstrip("\0")

    def numbers(ms, ls):
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    return numbers(file_ms, file_ls), numbers(product_ms, product_ls), strings



@h.needs(wine.LINKSPY_EXE)
class Win32Program(unittest.TestCase):
    @unittest.skipUnless(shutil.which(OBJDUMP), "no %s" % OBJDUMP)
    def test_stripped_pe32_for_vista_that_imports_only_system_dlls(self):
        headers = objdump("-p", wine.LINKSPY_EXE)
        fields = dict(re.findall(r"^(\w+)\s+(\S+)", headers, re.MULTILINE))
        self.assertIn(" file format pei-i386\n", headers[:200])
        self.assertEqual((fields["Magic"], fields["Subsystem"]), ("010b", "00000003"))
        # Vista is the lowest Windows: GetTickCount64 is the newest call the program makes.
        self.assertEqual((fields["MajorSubsystemVersion"], fields["MinorSubsystemVersion"]),
                         ("6", "0"))
        imports = re.findall(r"^\t[0-9a-f]+\s+\d+\s+(\w+)$", headers, re.MULTILINE)
        self.assertIn("GetTickCount64", imports)
        dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", headers)}
        self.assertTrue({"kernel32.dll", "user32.dll", "msvcrt.dll"} <= dlls, dlls)
        self.assertLessEqual(dlls, SYSTEM_DLLS)
        self.assertIn("\tsymbols stripped\n", headers[:500])
        self.assertNotIn(".debug_info", objdump("-h", wine.LINKSPY_EXE))
        # The symbols and the debug information stay in the build folder.
        self.assertIn(".debug_info", objdump("-h", UNSTRIPPED_EXE))
        self.assertTrue(os.path.getsize(os.path.join(wine.WIN32_BUILD, "linkspy.map")) > 0)

    def test_version_information_says_the_programs_own_version(self):
        file_version, product_version, strings = version_resource(wine.LINKSPY_EXE)
        numbers = tuple(int(n) for n in VERSION.split(".")) + (0, 0)
        self.assertEqual(file_version, numbers[:4])
        self.assertEqual(product_version, numbers[:4])
        self.assertEqual(strings["FileVersion"], VERSION)
        self.assertEqual(strings["ProductVersion"], VERSION)
        self.assertEqual(strings["ProductName"], source_text("control/records/program_identity.h",
                                                             "kProgramName"))
        self.assertEqual(strings["LegalCopyright"], source_text("console/banner.cpp",
                                                                "kCopyrightLine"))
        self.assertEqual(strings["FileDescription"],
                         "LINKSPY - " + source_text("control/main_sequence.cpp",
                                                    "kStartupBoxLine"))
        self.assertEqual(strings["OriginalFilename"], "linkspy.exe")


# What a text for Windows users must not send them to.
LINUX_PATHS = re.compile(rb"~/|\.capi20rc|/etc\b|/usr/|/dev/|/var/|systemd|journal|libcapi20"
                         rb"|\bman page|\bsudo\b|\bapt\b", re.IGNORECASE)


@unittest.skipUnless(os.path.exists(ZIP), "no %s (make package-win32)" % ZIP)
class Win32Zip(unittest.TestCase):
    def test_zip_holds_the_program_and_both_texts_for_windows(self):
        with zipfile.ZipFile(ZIP) as archive:
            self.assertEqual(sorted(archive.namelist()), [
                FOLDER, FOLDER + "LINKSPY.TXT", FOLDER + "README.TXT", FOLDER + "linkspy.exe"])
            with open(wine.LINKSPY_EXE, "rb") as f:
                self.assertEqual(archive.read(FOLDER + "linkspy.exe"), f.read())
            readme = archive.read(FOLDER + "README.TXT")
            manual = archive.read(FOLDER + "LINKSPY.TXT")
        self.assertTrue(readme.startswith(b"LINKSPY %s for Windows\r\n" % VERSION.encode()))
        self.assertTrue(manual.startswith(b"LINKSPY %s for Windows\r\n" % VERSION.encode()))
        for name, text in (("README.TXT", readme), ("LINKSPY.TXT", manual)):
            with self.subTest(name):
                self.assertTrue(text.endswith(b"\r\n"))
                lines = text.split(b"\r\n")
                self.assertEqual([n for n, line in enumerate(lines, 1)
                                  if b"\n" in line or b"\r" in line], [])
                self.assertEqual([n for n, line in enumerate(lines, 1) if len(line) > 79], [])
                text.decode("ascii")
                self.assertNotIn(b"@", text)
                self.assertEqual(LINUX_PATHS.findall(text), [])
        needed = (b"CAPI2032.DLL", b"SysWOW64", b"LINKSPY.LOG", b"Program Files",
                  b"%ERRORLEVEL%", b"set LINKSPY_LOG_BACKUPS=", b"chcp", b"not signed",
                  b"Windows Vista", b"Ctrl-X", b"-cNO", b"  -1 ")
        self.assertEqual([text for text in needed if text not in manual], [])
        self.assertIn(b"LINKSPY.TXT", readme)

    @wine.needs_wine()
    def test_extracted_exe_prints_its_usage_under_wine(self):
        folder = tempfile.mkdtemp(prefix="linkspy-zip-")
        with zipfile.ZipFile(ZIP) as archive:
            archive.extractall(folder)
        exe = os.path.join(folder, FOLDER, "linkspy.exe")
        if wine.RUN_EXE != wine.LINKSPY_EXE:
            shutil.copyfile(wine.RUN_EXE, exe)
        result = subprocess.run([wine.WINE, exe, "-h"], cwd=folder,
                                env=wine.wine_env(h.linkspy_env(folder)),
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr[-2000:])
        out = result.stdout.replace(b"\r\n", b"\n")
        self.assertIn(b"Usage: LOAD LINKSPY -h\n", out)
        self.assertTrue(out.endswith(b"Start example   : LOAD LINKSPY -2 -3\n\n"), out[-200:])
        self.assertFalse(os.path.exists(os.path.join(folder, "LINKSPY.LOG")))


if __name__ == "__main__":
    wine.main()
