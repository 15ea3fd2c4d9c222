# Sources of the report part (stack walk, crash ID, report text, uploader launch).
# Platform-free files build in both trees; *_win files only in the Windows tree.
set(REPORT_PORTABLE_SOURCES)
set(REPORT_WIN_SOURCES)
set(REPORT_PORTABLE_TESTS)
set(REPORT_WIN_TESTS)
