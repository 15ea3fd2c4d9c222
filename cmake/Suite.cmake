# Build helpers shared by every folder.
include(GoogleTest)

set(SUITE_WARNINGS -Wall -Wextra -Werror=return-type)

if(SUITE_WINDOWS)
  # Windows XP SP3 is the oldest system the programs run on: its headers, so that a newer function
  # does not build unless it is looked up at run time with a path for XP beside it.
  add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0501 WINVER=0x0501)
  # Static C and C++ runtimes and winpthread, so each exe runs on a bare Windows.
  set(SUITE_STATIC_LINK -static -static-libgcc -static-libstdc++)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/tools/wine/wine-run)
endif()

if(SUITE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

# Product-side code (crash handler, demo product) keeps frame pointers: DbgHelp's stack walk of
# another process needs them.
set(SUITE_PRODUCT_FLAGS -fno-omit-frame-pointer -gdwarf-4)

# The build root that owns the Wine prefix (build/ by default; helpers may use another).
get_filename_component(SUITE_BUILD_ROOT ${CMAKE_BINARY_DIR} DIRECTORY)

# Where the Python scripts find each other's modules: the folders in tools/python-path.txt, the one
# list that ./run exports too. Scripts import by module name and never edit sys.path.
file(STRINGS ${CMAKE_SOURCE_DIR}/tools/python-path.txt SUITE_PYTHON_FOLDERS)
list(TRANSFORM SUITE_PYTHON_FOLDERS PREPEND "${CMAKE_SOURCE_DIR}/")
string(REPLACE ";" ":" SUITE_PYTHONPATH "${SUITE_PYTHON_FOLDERS}")

# suite_debug_file(target) : every module the Windows tree builds carries a build id (the linker
# writes it as a CodeView RSDS record beside the image's own time stamp) and leaves its DWARF in
# "<name>.debug" next to it; the module itself is stripped. Stripping shrinks SizeOfImage, so the
# module that runs (and every dump's module list) has the stripped size: the symbol store keys the
# stripped module and reaches the debug file through the build id both share. No .gnu_debuglink:
# Wine's DbgHelp, which Kelvor walks stacks with, corrupts its heap on a module that has one (with
# or without the debug file beside it). DWARF 4, which Wine's DbgHelp and llvm-symbolizer both read.
function(suite_debug_file name)
  if(NOT SUITE_WINDOWS)
    return()
  endif()
  target_compile_options(${name} PRIVATE -gdwarf-4)
  target_link_options(${name} PRIVATE -Wl,--build-id -Wl,--insert-timestamp)
  # objcopy stamps what it writes with the time of its run; the step puts the linker's time stamp back.
  add_custom_command(TARGET ${name} POST_BUILD
    COMMAND python3 ${CMAKE_SOURCE_DIR}/tools/symbols/split_debug.py ${CMAKE_OBJCOPY} $<TARGET_FILE:${name}>
      $<TARGET_FILE_DIR:${name}>/$<TARGET_FILE_BASE_NAME:${name}>.debug
    VERBATIM)
endfunction()

# suite_library(name SOURCES ... [DEPS ...]) : a static library with the house warnings. In the fuzzing
# tree the libraries carry libFuzzer's coverage instrumentation, so that a fuzz target sees the edges of
# the code it tests, not only those of its own harness.
function(suite_library name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_compile_options(${name} PRIVATE ${SUITE_WARNINGS})
  if(SUITE_FUZZ)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer-no-link)
  endif()
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  if(A_DEPS)
    target_link_libraries(${name} PUBLIC ${A_DEPS})
  endif()
endfunction()

# suite_program(name SOURCES ... [LIBS ...] [GUI] [CONSOLE] [MANIFEST file]) : a Windows executable.
function(suite_program name)
  cmake_parse_arguments(A "GUI;CONSOLE" "MANIFEST" "SOURCES;LIBS" ${ARGN})
  set(srcs ${A_SOURCES})
  if(A_MANIFEST)
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${name}_manifest.rc)
    file(WRITE ${rc} "1 24 \"${A_MANIFEST}\"\n")
    list(APPEND srcs ${rc})
  endif()
  add_executable(${name} ${srcs})
  target_compile_options(${name} PRIVATE ${SUITE_WARNINGS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${A_LIBS} suite_xp_runtime ${SUITE_STATIC_LINK})
  target_link_options(${name} PRIVATE -municode)
  if(A_GUI)
    target_link_options(${name} PRIVATE -mwindows)
  endif()
  suite_debug_file(${name})
endfunction()

# Tests under Wine share the build root's prefix unless they ask for OWN_PREFIX: then
# tools/wine/own-prefix runs them in a fresh copy of the template prefix with a wineserver of its
# own, so they can install the product, change the registry and close windows beside other tests
# with no lock. COST is about how many seconds a test runs on a quick machine: CTest starts the
# costliest first, so the long scenarios do not end up last on one core.

# suite_gtest(name SOURCES ... [LIBS ...] [LOCK resource...] [OWN_PREFIX] [COST s] [TIMEOUT s] [LABELS ...])
# Natively each test case is its own CTest test. Under Wine a whole test program is one CTest test:
# every process start costs time there, and one process per case would dominate the run.
function(suite_gtest name)
  cmake_parse_arguments(A "OWN_PREFIX" "TIMEOUT;COST" "SOURCES;LIBS;LOCK;LABELS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_compile_options(${name} PRIVATE ${SUITE_WARNINGS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest GTest::gtest_main ${SUITE_STATIC_LINK})
  if(SUITE_WINDOWS)
    target_link_libraries(${name} PRIVATE suite_testing_win suite_xp_runtime)
  endif()
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 300)
  endif()
  set(props TIMEOUT ${A_TIMEOUT})
  if(A_LOCK)
    list(APPEND props RESOURCE_LOCK "${A_LOCK}")
  endif()
  if(A_LABELS)
    list(APPEND props LABELS "${A_LABELS}")
  endif()
  if(A_COST)
    list(APPEND props COST ${A_COST})
  endif()
  if(SUITE_WINDOWS AND A_OWN_PREFIX)
    add_test(NAME ${name} COMMAND ${CMAKE_SOURCE_DIR}/tools/wine/own-prefix ${name}
      ${CMAKE_SOURCE_DIR}/tools/wine/wine-run $<TARGET_FILE:${name}> --gtest_color=no)
    set_tests_properties(${name} PROPERTIES ${props}
      ENVIRONMENT "SUITE_BUILD=${SUITE_BUILD_ROOT};SUITE_SOURCE=${CMAKE_SOURCE_DIR}")
  elseif(SUITE_WINDOWS)
    add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
    set_tests_properties(${name} PROPERTIES ${props}
      ENVIRONMENT "SUITE_BUILD=${SUITE_BUILD_ROOT};SUITE_SOURCE=${CMAKE_SOURCE_DIR}")
  else()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
      PROPERTIES ${props} ENVIRONMENT "SUITE_SOURCE=${CMAKE_SOURCE_DIR}")
  endif()
endfunction()

# suite_script_test(name COMMAND ... [LOCK ...] [OWN_PREFIX] [COST s] [TIMEOUT s]) : a scenario driven from
# the host (Python or shell) against the Windows tree's programs in the project's prefix, or in a
# prefix of its own (OWN_PREFIX, see above).
function(suite_script_test name)
  cmake_parse_arguments(A "OWN_PREFIX" "TIMEOUT;COST" "COMMAND;LOCK;LABELS" ${ARGN})
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 600)
  endif()
  if(A_OWN_PREFIX)
    add_test(NAME ${name} COMMAND ${CMAKE_SOURCE_DIR}/tools/wine/own-prefix ${name} ${A_COMMAND})
  else()
    add_test(NAME ${name} COMMAND ${A_COMMAND})
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${A_TIMEOUT}
    ENVIRONMENT "SUITE_BUILD=${SUITE_BUILD_ROOT};SUITE_SOURCE=${CMAKE_SOURCE_DIR};SUITE_BIN=${CMAKE_BINARY_DIR};PYTHONPATH=${SUITE_PYTHONPATH}")
  if(A_LOCK)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${A_LOCK}")
  endif()
  if(A_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${A_LABELS}")
  endif()
  if(A_COST)
    set_tests_properties(${name} PROPERTIES COST ${A_COST})
  endif()
endfunction()

# suite_pytest(name FILE path [ARGS ...] [LOCK ...] [OWN_PREFIX] [COST s] [TIMEOUT s]) : a host-side
# Python test (pytest, or unittest cases, which pytest runs as they are) under Debian's interpreter,
# whose packages the tests use.
# The Wine scenario drivers run their own unittest runner (tools/testing/scenario.py) through
# suite_script_test, since they take the test drivers' arguments on their command line.
function(suite_pytest name)
  cmake_parse_arguments(A "OWN_PREFIX" "FILE;TIMEOUT;COST" "ARGS;LOCK" ${ARGN})
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 240)
  endif()
  set(extra)
  if(A_OWN_PREFIX)
    list(APPEND extra OWN_PREFIX)
  endif()
  if(A_COST)
    list(APPEND extra COST ${A_COST})
  endif()
  suite_script_test(${name} COMMAND /usr/bin/python3 -m pytest -q -p no:cacheprovider
    --rootdir=${CMAKE_SOURCE_DIR} ${A_ARGS} ${A_FILE} LOCK ${A_LOCK} ${extra} TIMEOUT ${A_TIMEOUT})
endfunction()

# suite_fuzzer(name SOURCES ... LIBS ... CORPUS dir [RUNS n]) : a libFuzzer target (fuzzing tree only)
# with its checked-in seed corpus. ./run test runs it briefly from the seeds (RUNS inputs, at most a
# few seconds); ./run fuzz [seconds] runs every target longer with a corpus that grows under build/.
function(suite_fuzzer name)
  cmake_parse_arguments(A "" "CORPUS;RUNS" "SOURCES;LIBS" ${ARGN})
  if(NOT SUITE_FUZZ)
    return()
  endif()
  add_executable(${name} ${A_SOURCES})
  target_compile_options(${name} PRIVATE ${SUITE_WARNINGS} -fsanitize=fuzzer)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${A_LIBS})
  if(NOT A_RUNS)
    set(A_RUNS 20000)
  endif()
  add_test(NAME ${name}_short COMMAND python3 ${CMAKE_SOURCE_DIR}/tools/fuzz/fuzz_run.py --runs ${A_RUNS}
    --seconds 8 $<TARGET_FILE:${name}> ${A_CORPUS})
  set_tests_properties(${name}_short PROPERTIES TIMEOUT 120 LABELS fuzz)
  set_property(GLOBAL APPEND PROPERTY SUITE_FUZZERS "${name}=${A_CORPUS}")
endfunction()

# The list ./run fuzz walks, written once every folder has registered its targets.
function(suite_write_fuzzer_list)
  get_property(fuzzers GLOBAL PROPERTY SUITE_FUZZERS)
  string(REPLACE ";" "\n" lines "${fuzzers}")
  file(WRITE ${CMAKE_BINARY_DIR}/fuzzers.txt "${lines}\n")
endfunction()
if(SUITE_FUZZ)
  cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL suite_write_fuzzer_list)
endif()
