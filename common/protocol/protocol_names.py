"""The names the programs, the product and the crash server meet on, for the Python side: the crash
server, the collector, the scenario drivers and the demo. Each name is spelled once, here, and used as
`protocol_names.NAME`; nobody keeps a second copy under another name.

A name that the C++ headers in this folder also define carries the header's name in upper snake case
(kDumpFolderName -> DUMP_FOLDER_NAME) and the same value; protocol_names_test.py reads the headers and
fails on any difference. The names further down (endpoints, form fields) have no
header yet; the test compares each of them too as soon as a header defines it under that name.

Windows paths and registry keys keep their backslashes; registry keys are without their root
(HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER, named in the comment), as the programs open them.
"""

# ---- Files and folders (file_names.h) ----------------------------------------------------------------
DUMP_FOLDER_NAME = "dump\\"  # under the install folder
DUMP_EXTENSION = ".dmp"
REPORT_EXTENSION = ".txt"  # the report (UTF-16LE), beside its dump
FULL_DUMP_SUFFIX = "_FULL.dmp"
ARCHIVE_EXTENSION = ".zip"
INFO_FILE_NAME = "info.ini"  # packed beside each kernel dump
DATA_FOLDER_PARENT = "Vemko"  # Drummet's data folder: <user data>\Vemko\Ossary
DATA_FOLDER_NAME = "Ossary"
VERSION_XML_NAME = "version.xml"
LOG_FOLDER_NAME = "log\\"
DRUMMET_MUTEX_NAME = "Global\\DRUMMETPROTECTOR"
REPORTER_FILE_NAME = "Kelvor.exe"
UPLOADER_FILE_NAME = "Ulvane.exe"
TRANSPORT_FILE_NAME = "Communication.dll"
CONFIG_INI_NAME = "config.ini"
NETWORK_SECTION = "network"
REPORT_URL_KEY = "BugURL"
INFO_URL_KEY = "BugInfoUploadURL"
SETTINGS_SECTION = "vkconfig"
LANGUAGE_KEY = "nLanguage"

# ---- Registry (registry_names.h) ---------------------------------------------------------------------
UNINSTALL_KEY = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vemko Antivirus"  # HKLM
INSTALL_DIR_VALUE = "InstallDir"
LAST_DMP_TIME_VALUE = "LastDmpTime"
PASSED_OVER_DMP_TIME_VALUE = "PassedOverDmpTime"
UNREADABLE_DMP_VALUE = "UnreadableDmp"
BUG_MARK_KEY = "software\\Vemko Security\\Antivirus\\Bug"  # HKCU, + "\" + product version
CRASH_CONTROL_KEY = "SYSTEM\\CurrentControlSet\\Control\\CrashControl"  # HKLM
MINIDUMP_DIR_VALUE = "MinidumpDir"
CRASH_DUMP_ENABLED_VALUE = "CrashDumpEnabled"
IDENTITY_KEY = "SOFTWARE\\Vemko Security\\Swiftor"  # HKCU of the logged-on user
IDENTITY_VALUE = "swiftor-id"
DIAG_LOG_ENVIRONMENT = "VEMKO_DIAG_LOG"
DIAG_LOG_KEY = "SOFTWARE\\Vemko Security\\Antivirus"  # HKLM
DIAG_LOG_VALUE = "DiagLogFolder"

# ---- Ulvane's command line (uploader_switches.h) -----------------------------------------------------
SWITCH_START = "/Start:"
SWITCH_PATH = "/Path:"
SWITCH_VERSION = "/Version:"
SWITCH_MODULE = "/Module:"
SWITCH_APP = "/App:"
SWITCH_ID = "/ID:"
SWITCH_EMAIL = "/Email:"
SWITCH_PENDING = "/Pending"  # the product's start: deliver the pending crashes
START_REPORT = "report"
REPORT_ID_CHARS = 32
FIXED_CRASH_ID = "0123456789abcdef0123456789abcdef"  # of a crash whose stack gave no signature

# ---- Endpoints: paths after the configured base URL (BugURL, BugInfoUploadURL) -----------------------
INFO_PATH = "cgi-bin-py/security_dump.cgi"  # Ulvane's information post (a form)
ARCHIVE_PATH = "cgi-bin/bug_report_orv.cgi"  # Ulvane's archive
DEFAULT_REPORT_SERVER = "http://report.vemko.example/"  # Ulvane's BugURL when config.ini names none
DEFAULT_INFO_SERVER = "http://info.vemko.example/"  # and its BugInfoUploadURL
KERNEL_DUMP_REPORT_PATH = "/cgi-bin/bug_report.cgi"  # Drummet's package, after BugURL's host
KERNEL_DUMP_DEFAULT_SERVER = "http://report.vemko.example"  # Drummet's BugURL when config.ini names none
# The same path as the server routes and the collector names it: without the leading slash.
KERNEL_REPORT_PATH = KERNEL_DUMP_REPORT_PATH.lstrip("/")

# ---- The information post's form fields, in the order Ulvane sends them ------------------------------
FIELD_PRODUCT = "product"
FIELD_HASH_ID = "hash_id"
FIELD_GUID = "guid"
FIELD_VERSION = "version"
FIELD_APP = "app"
FIELD_MODULE = "module"
FIELD_COUNT = "count"
FIELD_MAIL = "mail"
INFO_FIELDS = (
    FIELD_PRODUCT,
    FIELD_HASH_ID,
    FIELD_GUID,
    FIELD_VERSION,
    FIELD_APP,
    FIELD_MODULE,
    FIELD_COUNT,
    FIELD_MAIL,
)
