"""protocol_names.py against the C++ headers beside it: each constant the headers define in namespace
`protocol` that Python mirrors must have the same value, and each mirrored name must still exist in a
header, so a name renamed or changed on one side only fails here at once."""

import glob
import os
import re
import unittest

import protocol_names

HERE = os.path.dirname(os.path.abspath(__file__))

# Names Python keeps that no header defines (yet): compared as soon as a header defines them.
PYTHON_ONLY = {
    "KERNEL_REPORT_PATH",
    "INFO_FIELDS",
} | {name for name in dir(protocol_names) if name.startswith("FIELD_")}

STRING = re.compile(r'constexpr\s+(?:wchar_t|char)\s+(k\w+)\[\]\s*=\s*((?:L?"(?:[^"\\]|\\.)*"\s*)+);')
NUMBER = re.compile(
    r"constexpr\s+(?:unsigned|uint32_t|int|size_t)\s+(k\w+)\s*=\s*(0[xX][0-9a-fA-F]+|\d+)u?\s*;"
)
PIECE = re.compile(r'L?"((?:[^"\\]|\\.)*)"')
ESCAPES = {"\\\\": "\\", '\\"': '"', "\\n": "\n", "\\t": "\t", "\\0": "\0"}


def unescape(literal):
    return re.sub(r"\\.", lambda m: ESCAPES[m.group(0)], literal)


def python_name(cpp_name):
    """kDumpFolderName -> DUMP_FOLDER_NAME."""
    return re.sub(r"(?<!^)(?=[A-Z])", "_", cpp_name[1:]).upper()


def header_constants(folder=HERE):
    """{python name: (value, header file)} of every string and whole-number constant in the headers of
    namespace protocol."""
    found = {}
    for header in sorted(glob.glob(os.path.join(folder, "*.h"))):
        with open(header, encoding="utf-8") as f:
            text = f.read()
        if "namespace protocol" not in text:
            continue
        for name, literals in STRING.findall(text):
            found[python_name(name)] = ("".join(unescape(p) for p in PIECE.findall(literals)), header)
        for name, number in NUMBER.findall(text):
            found[python_name(name)] = (int(number, 0), header)
    return found


def python_constants():
    return {name: getattr(protocol_names, name) for name in dir(protocol_names) if name.isupper()}


class ProtocolNames(unittest.TestCase):
    def test_the_headers_are_read(self):
        # A parser that finds nothing would make every comparison below pass.
        headers = header_constants()
        for name in ("DUMP_FOLDER_NAME", "UNINSTALL_KEY", "SWITCH_START", "REPORT_ID_CHARS"):
            self.assertIn(name, headers)
        self.assertEqual(headers["UNINSTALL_KEY"][0].count("\\"), 5)

    def test_each_python_name_has_the_value_of_its_header(self):
        headers = header_constants()
        for name, value in python_constants().items():
            with self.subTest(name=name):
                if name in headers:
                    self.assertEqual(value, headers[name][0], "differs from %s" % headers[name][1])
                else:
                    self.assertTrue(name in PYTHON_ONLY, "no header defines %s (renamed on one side?)" % name)

    def test_python_mirrors_every_name_of_the_headers_it_uses(self):
        # A header name new or renamed in a header that Python mirrors (one whose names it already
        # uses) must appear in protocol_names too.
        headers, python = header_constants(), python_constants()
        mirrored = {h for n, (_, h) in headers.items() if n in python}
        for name, (_, header) in headers.items():
            if header in mirrored:
                with self.subTest(name=name, header=os.path.basename(header)):
                    self.assertTrue(name in python, "protocol_names.py lacks %s" % name)


if __name__ == "__main__":
    unittest.main()
