# Sources of the report part (stack walk, crash ID, report text, uploader launch).
# Platform-free files build in both trees; *_win files only in the Windows tree.
set(REPORT_PORTABLE_SOURCES md5.cpp crash_id.cpp report_text.cpp stack_signature.cpp uploader_command.cpp)
set(REPORT_WIN_SOURCES crash_report_win.cpp stack_walk_win.cpp launch_uploader_win.cpp)
set(REPORT_PORTABLE_TESTS md5_test.cpp report_text_test.cpp stack_signature_test.cpp uploader_command_test.cpp)
set(REPORT_WIN_TESTS report_win_test.cpp)

# Evaluated inside reporter/capture before its libraries exist: the test targets link the
# libraries by name, which CMake resolves at generation time.
suite_gtest(kelvor_report_test SOURCES ${REPORT_PORTABLE_TESTS} LIBS kelvor_portable suite_common)

if(SUITE_WINDOWS)
  # A stand-in for the uploader that records the command line it was started with.
  suite_program(report_record_args SOURCES test_tools/record_args_win.cpp LIBS suite_testing_win GUI)
  set_target_properties(report_record_args PROPERTIES OUTPUT_NAME Ulvane
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/recorder)

  # A DbgHelp.dll whose dump call fails and which has no stack walk, put beside Kelvor by a scenario.
  add_library(failing_dbghelp SHARED test_tools/failing_dbghelp_win.cpp)
  set_target_properties(failing_dbghelp PROPERTIES OUTPUT_NAME DbgHelp PREFIX ""
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/failing RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/failing)
  target_link_options(failing_dbghelp PRIVATE -Wl,--kill-at ${SUITE_STATIC_LINK})

  # Real threads and processes; changes the install-folder value while it runs.
  suite_gtest(kelvor_report_win_test SOURCES ${REPORT_WIN_TESTS} LIBS kelvor_capture LOCK installdir)
  # The walks stop threads of the test program itself: its frames need frame pointers.
  target_compile_options(kelvor_report_win_test PRIVATE ${SUITE_PRODUCT_FLAGS})
  target_compile_definitions(kelvor_report_win_test PRIVATE
    "REPORT_RECORDER_EXE=\"$<TARGET_FILE:report_record_args>\"")
  add_dependencies(kelvor_report_win_test report_record_args)

  # End to end with the installed demo product; the driver is run by the scenario script.
  add_executable(report_scenarios tests/report_scenarios_win.cpp)
  target_compile_options(report_scenarios PRIVATE ${SUITE_WARNINGS})
  target_include_directories(report_scenarios PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(report_scenarios PRIVATE kelvor_portable suite_testing_win GTest::gtest GTest::gtest_main
    ${SUITE_STATIC_LINK})
  add_dependencies(report_scenarios report_record_args failing_dbghelp Kelvor Orv OrvCore)
  target_compile_definitions(report_scenarios PRIVATE "FAILING_DBGHELP_DLL=\"$<TARGET_FILE:failing_dbghelp>\"")
  suite_script_test(report_scenarios_test COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/tests/report_scenarios.py
    OWN_PREFIX COST 15 TIMEOUT 900)
endif()
