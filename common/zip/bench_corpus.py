"""Corpus of the DEFLATE benchmark (tools/cmd/bench-deflate): one file of each kind the writer packs.

Usage: bench_corpus.py OUT_DIR [NORMAL.dmp FULL.dmp BUSY.dmp]
The minidumps are made by the caller (Kelvor's normal and full-memory dumps of the demo crash under Wine,
and a normal dump of a busier process) and copied in;
the rest is made here: a 32-bit DLL (one of Wine's), a UTF-16 text report laid out as Kelvor writes it,
English text (license texts and documentation concatenated) and an INI file like Drummet's info file.
Everything made here is deterministic, so runs on one machine compare.
"""
import glob
import os
import random
import shutil
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WINE_DLLS = "/usr/lib/i386-linux-gnu/wine/i386-windows"

PROCESSES = [
    "System",
    "smss.exe",
    "csrss.exe",
    "wininit.exe",
    "services.exe",
    "lsass.exe",
    "svchost.exe",
    "explorer.exe",
    "winlogon.exe",
    "spoolsv.exe",
    "OrvSvc.exe",
    "Orv.exe",
    "taskhost.exe",
    "dwm.exe",
    "SearchIndexer.exe",
    "chrome.exe",
    "OUTLOOK.EXE",
    "WINWORD.EXE",
    "conhost.exe",
    "rundll32.exe",
    "audiodg.exe",
    "msiexec.exe",
    "notepad.exe",
    "Teams.exe",
    "OneDrive.exe",
    "ctfmon.exe",
]
MODULES = ["OrvCore", "Orv", "kernel32", "ntdll", "user32", "Communication", "msvcrt", "ws2_32"]
WINDOW_TEXTS = [
    "OK",
    "Cancel",
    "Scan now",
    "Quarantine",
    "Settings",
    "Real-time protection is on",
    "Last update: today",
    "Vemko Antivirus",
    "Details >>",
    "",
    "",
    "",
]


def dll(out):
    """A 32-bit DLL of about 2.5 MB."""
    shutil.copyfile(os.path.join(WINE_DLLS, "rpcrt4.dll"), out)


def report(out, size=206_000):
    """A text report as Kelvor writes it (UTF-16LE with byte-order mark, CR LF), grown with the
    process and window sections a busy machine gives."""
    rng = random.Random(21)
    text = (
        "\ufeffVemko Dump\r\nProgram Name:Orv   Program Version:1.0.0.1\r\nAppName:Orv.exe   "
        "Windows Version:WIN_7 64\r\nModule:OrvCore.dll   Data:2026-12-8 9:3:41\r\nEmail:user@example.com\r\n"
        "HashCode:3F2A9C1B7E6D4058A1B2C3D4E5F60718\r\n\r\nStack:\r\n"
    )
    for _ in range(40):
        module = rng.choice(MODULES)
        base = rng.randrange(0x10000000, 0x7FFF0000) & ~0xFFF
        off = rng.randrange(0x1000, 0x80000)
        text += "0x%08X  0x%08X  %s\r\n" % (base + off, off, module)
    text += "\r\nSystem Process:\r\n"
    body = ""
    pids = [4 * rng.randrange(1, 5000) for _ in range(1200)]
    for pid in pids:
        body += "%s Pid:%d Parrent Pid:%d\r\n" % (rng.choice(PROCESSES), pid, rng.choice(pids))
        if len(body) * 2 > size * 0.55:
            break
    text += body + '\r\nCommand:\r\n"C:\\Program Files (x86)\\Vemko Antivirus\\Orv.exe" /background'
    text += "\r\n\r\nWindow Info:\r\n"
    tail = (
        "\r\n\r\nSystem Memory:\r\nMemory Usage:41% \r\nTotal Memory:8191.562 M\r\nPagefileUsage :312.738 M\r\n"
        "\r\nUserContext:\r\nThe scanner window froze while an update was running."
    )
    while (len(text) + len(tail)) * 2 < size:
        text += "hwnd:%d  ParentWnd: %d  " % (
            rng.randrange(0x10000, 0x7FFFFF),
            rng.choice([0, 65602, 131138]),
        )
        label = rng.choice(WINDOW_TEXTS)
        if label:
            text += "Window Text:%s\r\n" % label
    with open(out, "wb") as f:
        f.write((text + tail).encode("utf-16-le"))


def english(out, size=437_000):
    """English prose: the system's license texts, then the project's own documentation, then the
    packages' copyright files, each distinct text once."""
    paths = sorted(glob.glob("/usr/share/common-licenses/*"))
    paths += sorted(glob.glob(os.path.join(ROOT, "docs", "*.md"))) + [os.path.join(ROOT, "README.md")]
    paths += sorted(glob.glob("/usr/share/doc/*/copyright"))
    seen, data = set(), b""
    for p in paths:
        real = os.path.realpath(p)
        if real in seen or not os.path.isfile(real):
            continue
        seen.add(real)
        with open(real, "rb") as f:
            chunk = f.read()
        if chunk in seen:
            continue
        seen.add(chunk)
        data += chunk
        if len(data) >= size:
            break
    with open(out, "wb") as f:
        f.write(data[:size])


def ini(out):
    """An INI file of about 1.9 KB: the information file Drummet packs, with the product's settings."""
    lines = [
        "[info]",
        "version=1.0.0.1",
        "id=S-1-5-21-3623811015-3361044348-30300820-1013",
        "module=Driver",
        "dump=Mini120826-01.dmp",
        "time=2026-12-08 09:03:41",
        "",
        "[network]",
        "BugURL=https://crash.vemko.example/reports",
        "BugInfoUploadURL=https://crash.vemko.example/info",
        "Timeout=30000",
        "Retries=3",
        "",
        "[vkconfig]",
        "nLanguage=0",
        "bSilent=0",
        "nSkin=2",
        "",
        "[product]",
        "Path=C:\\Program Files (x86)\\Vemko Antivirus",
        "Channel=stable",
        "Serial=VK-4410-2291-7735-0186",
        "Installed=2026-11-02 14:22:05",
        "",
    ]
    engines = ["scanner", "updater", "firewall", "webshield", "mailshield", "quarantine", "scheduler"]
    for name in engines:
        lines += [
            "[%s]" % name,
            "Enabled=1",
            "LogLevel=2",
            "LogFile=C:\\ProgramData\\Vemko\\Logs\\%s.log" % name,
            "LastRun=2026-12-08 08:%02d:17" % (len(name) * 3),
            "Interval=%d" % (3600 * len(name)),
            "Action=%s" % ("quarantine" if len(name) % 2 else "report"),
            "Threads=%d" % (len(name) % 4 + 1),
            "Exclusions=C:\\Windows\\Temp;%%TEMP%%\\%s" % name,
            "",
        ]
    text = "\r\n".join(lines)
    with open(out, "wb") as f:
        f.write(text[:1900].encode("cp1252"))


def main():
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    if len(sys.argv) == 5:
        shutil.copyfile(sys.argv[2], os.path.join(out_dir, "1-minidump-normal.dmp"))
        shutil.copyfile(sys.argv[4], os.path.join(out_dir, "1-minidump-normal-busy.dmp"))
        shutil.copyfile(sys.argv[3], os.path.join(out_dir, "2-minidump-full.dmp"))
    dll(os.path.join(out_dir, "3-rpcrt4.dll"))
    report(os.path.join(out_dir, "4-report-utf16.txt"))
    english(os.path.join(out_dir, "5-english.txt"))
    ini(os.path.join(out_dir, "6-info.ini"))


if __name__ == "__main__":
    main()
