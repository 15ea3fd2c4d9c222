# Sources of the report part (stack walk, crash ID, report text, uploader launch).
# Platform-free files build in both trees; *_win files only in the Windows tree.
set(REPORT_PORTABLE_SOURCES md5.cpp crash_id.cpp report_text.cpp stack_signature.cpp uploader_command.cpp)
set(REPORT_WIN_SOURCES crash_report_win.cpp stack_walk_win.cpp launch_uploader_win.cpp)
set(REPORT_PORTABLE_TESTS md5_test.cpp report_text_test.cpp stack_signature_test.cpp uploader_command_test.cpp)
set(REPORT_WIN_TESTS)

# Evaluated inside reporter/capture before its libraries exist: the test targets link the
# libraries by name, which CMake resolves at generation time.
suite_gtest(kelvor_report_test SOURCES ${REPORT_PORTABLE_TESTS} LIBS kelvor_portable suite_common)
