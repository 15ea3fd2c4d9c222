#!/usr/bin/env python3
"""The Windows tree's modules as real readers see them: llvm-readobj finds a CodeView RSDS build id and
an image time stamp in each, no DWARF and no debug link; its "<name>.debug" has the same build id and
the DWARF, which llvm-symbolizer reads. Runs from the Windows tree (SUITE_BIN set by CTest)."""
import os
import re
import subprocess
import unittest

BIN = os.environ.get("SUITE_BIN", "")
MODULES = [
    "reporter/Kelvor.exe",
    "uploader/Ulvane.exe",
    "kerneldump/Drummet.exe",
    "product/Orv.exe",
    "product/OrvCore.dll",
    "product/communication/Communication.dll",
    "product/skin/Skindle.dll",
]


def readobj(path):
    out = subprocess.run(
        ["llvm-readobj", "--file-headers", "--coff-debug-directory", "--sections", path],
        capture_output=True,
        text=True,
        check=True,
        timeout=60,
    ).stdout
    guid = re.search(r"PDBSignature: 0x53445352\s+PDBGUID: \(([0-9A-F ]+)\)\s+PDBAge: (\d+)", out)
    stamp = re.search(r"TimeDateStamp: .*\(0x([0-9A-F]+)\)", out)
    sections = set(re.findall(r"Name: (\S+)", out))
    return (guid.groups() if guid else None), int(stamp.group(1), 16), sections


class BuildIds(unittest.TestCase):
    def test_modules_are_stripped_and_share_a_build_id_with_their_debug_file(self):
        for rel in MODULES:
            module = os.path.join(BIN, rel)
            with self.subTest(module=rel):
                build_id, stamp, sections = readobj(module)
                self.assertIsNotNone(build_id, "no RSDS record")
                self.assertNotEqual(stamp, 0)
                self.assertFalse({".debug_info", ".gnu_debuglink"} & sections, sections)
                debug_id, debug_stamp, debug_sections = readobj(os.path.splitext(module)[0] + ".debug")
                self.assertEqual((debug_id, debug_stamp), (build_id, stamp))
                self.assertIn(".debug_info", debug_sections)

    def test_llvm_symbolizer_names_the_demo_fault(self):
        debug = os.path.join(BIN, "product/OrvCore.debug")
        nm = subprocess.run(["llvm-nm", debug], capture_output=True, text=True, check=True, timeout=60).stdout
        address = re.search(r"^([0-9a-f]+) T _?OrvCoreFault$", nm, re.M).group(1)
        out = subprocess.run(
            ["llvm-symbolizer", "--obj=" + debug, "0x" + address],
            capture_output=True,
            text=True,
            check=True,
            timeout=60,
        ).stdout.split("\n")
        self.assertEqual(out[0], "OrvCoreFault")
        self.assertRegex(out[1], r"orv_core_win\.cpp:2[0-9]:")


if __name__ == "__main__":
    unittest.main()
