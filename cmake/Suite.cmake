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
if(SUITE_FUZZ)
  # libFuzzer: its engine in each fuzz target, its coverage instrumentation in the code under test too,
  # so that a fuzz target sees the edges of the code it tests, not only those of its own harness.
  set(SUITE_FUZZER_FLAGS -fsanitize=fuzzer)
  set(SUITE_FUZZ_COVERAGE -fsanitize=fuzzer-no-link)
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

# suite_default(var value) : var, or value when the caller gave none.
macro(suite_default var value)
  if(NOT ${var})
    set(${var} ${value})
  endif()
endmacro()

# suite_target(name KIND EXECUTABLE|STATIC|SHARED|OBJECT SOURCES ... [...]) : what every helper below
# builds with, so that each flag is chosen in one place. Folders call the helpers, not this.
#   DEPS ...           linked PUBLIC: the library's users link them too
#   LIBS ...           linked PRIVATE, in this order, before the XP runtime and the runtimes
#   INCLUDES ...       include folders besides the source root, DEFINES ... compile definitions (both
#                      PUBLIC for a library, whose users read its headers)
#   FLAGS ..., LINK_OPTIONS ...  further compile and link options (a fuzz target's engine, a DLL's exports)
#   PRODUCT            the product's flags (SUITE_PRODUCT_FLAGS): frame pointers for another process's walk
#   TEST_SUPPORT       a library the tests use, not code under test: no fuzzing coverage (SUITE_FUZZ_COVERAGE)
#                      for a fuzz target to steer by
#   XP_RUNTIME         (Windows) links suite_xp_runtime, for a module that may run on Windows XP
#   DEBUG_FILE         (Windows) a build id and a separate debug file (suite_debug_file)
#   WMAIN, GUI         (Windows programs) entry point wmain or wWinMain; window subsystem
#   RUNTIME_LINK ...   (Windows programs and DLLs) how the C and C++ runtimes link; SUITE_STATIC_LINK unless given
#   OUTPUT_NAME n, OUTPUT_DIR d   the file's name without extension, and its folder
#   DEPENDS ...        targets built before this one (programs a test starts, DLLs it loads, without linking)
# A DLL never takes a "lib" prefix: it is named as Windows programs load it.
function(suite_target name)
  cmake_parse_arguments(A "PRODUCT;TEST_SUPPORT;XP_RUNTIME;DEBUG_FILE;WMAIN;GUI" "KIND;OUTPUT_NAME;OUTPUT_DIR"
    "SOURCES;DEPS;LIBS;INCLUDES;DEFINES;FLAGS;LINK_OPTIONS;RUNTIME_LINK;DEPENDS" ${ARGN})
  set(scope PUBLIC)
  if(A_KIND STREQUAL "EXECUTABLE")
    add_executable(${name} ${A_SOURCES})
    set(scope PRIVATE)
  else()
    add_library(${name} ${A_KIND} ${A_SOURCES})
  endif()
  set(flags ${SUITE_WARNINGS})
  if(A_PRODUCT)
    list(APPEND flags ${SUITE_PRODUCT_FLAGS})
  endif()
  if(A_KIND STREQUAL "STATIC" AND NOT A_TEST_SUPPORT)
    list(APPEND flags ${SUITE_FUZZ_COVERAGE})
  endif()
  target_compile_options(${name} PRIVATE ${flags} ${A_FLAGS})
  target_include_directories(${name} ${scope} ${CMAKE_SOURCE_DIR} ${A_INCLUDES})
  if(A_DEFINES)
    target_compile_definitions(${name} ${scope} ${A_DEFINES})
  endif()
  if(A_DEPS)
    target_link_libraries(${name} PUBLIC ${A_DEPS})
  endif()

  set(libs ${A_LIBS})
  set(link_options ${A_LINK_OPTIONS})
  if(SUITE_WINDOWS AND A_KIND MATCHES "^(EXECUTABLE|SHARED)$")
    if(A_XP_RUNTIME)
      list(APPEND libs suite_xp_runtime)
    endif()
    if(DEFINED A_RUNTIME_LINK)
      list(APPEND libs ${A_RUNTIME_LINK})
    else()
      list(APPEND libs ${SUITE_STATIC_LINK})
    endif()
    if(A_WMAIN)
      list(APPEND link_options -municode)
    endif()
    if(A_GUI)
      list(APPEND link_options -mwindows)
    endif()
  endif()
  if(libs)
    target_link_libraries(${name} PRIVATE ${libs})
  endif()
  if(link_options)
    target_link_options(${name} PRIVATE ${link_options})
  endif()

  if(A_KIND STREQUAL "SHARED")
    set_target_properties(${name} PROPERTIES PREFIX "")
  endif()
  if(A_OUTPUT_NAME)
    set_target_properties(${name} PROPERTIES OUTPUT_NAME ${A_OUTPUT_NAME})
  endif()
  if(A_OUTPUT_DIR)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${A_OUTPUT_DIR}
      LIBRARY_OUTPUT_DIRECTORY ${A_OUTPUT_DIR})
  endif()
  if(A_DEPENDS)
    add_dependencies(${name} ${A_DEPENDS})
  endif()
  if(A_DEBUG_FILE)
    suite_debug_file(${name})
  endif()
endfunction()

# suite_library(name SOURCES ... [KIND STATIC|SHARED|OBJECT] [DEPS ...] [LIBS ...] [DEFINES ...] [PRODUCT]
#   [TEST_SUPPORT] [WINE_ONLY] [RUNTIME_LINK ...] [LINK_OPTIONS ...] [OUTPUT_NAME n] [OUTPUT_DIR d])
# A library with the house warnings; static unless KIND says otherwise (options as for suite_target).
# A DLL (KIND SHARED) ships, or stands in for a DLL that does: it links the XP runtime and the static
# runtimes and leaves a debug file, unless it is WINE_ONLY (a test's stand-in that runs only under Wine).
function(suite_library name)
  cmake_parse_arguments(A "WINE_ONLY" "KIND" "" ${ARGN})
  suite_default(A_KIND STATIC)
  set(dll)
  if(A_KIND STREQUAL "SHARED" AND NOT A_WINE_ONLY)
    set(dll XP_RUNTIME DEBUG_FILE)
  endif()
  suite_target(${name} KIND ${A_KIND} ${dll} ${A_UNPARSED_ARGUMENTS})
endfunction()

# suite_program(name SOURCES ... [LIBS ...] [GUI] [CONSOLE] [MANIFEST file] [PRODUCT] [WINE_ONLY]
#   [INCLUDES ...] [DEFINES ...] [DEPENDS ...] [OUTPUT_NAME n] [OUTPUT_DIR d]) : a program (options as for
#   suite_target).
# On Windows its entry point is wmain or wWinMain; it links the XP runtime and leaves a debug file unless
# it is WINE_ONLY (a benchmark or tool that runs only under Wine).
function(suite_program name)
  cmake_parse_arguments(A "CONSOLE;WINE_ONLY" "MANIFEST" "SOURCES;LIBS;INCLUDES;DEFINES;DEPENDS" ${ARGN})
  set(srcs ${A_SOURCES})
  if(A_MANIFEST)
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${name}_manifest.rc)
    file(WRITE ${rc} "1 24 \"${A_MANIFEST}\"\n")
    list(APPEND srcs ${rc})
  endif()
  set(shipped XP_RUNTIME DEBUG_FILE)
  if(A_WINE_ONLY)
    set(shipped)
  endif()
  suite_target(${name} KIND EXECUTABLE SOURCES ${srcs} LIBS ${A_LIBS} INCLUDES ${A_INCLUDES} DEFINES ${A_DEFINES}
    DEPENDS ${A_DEPENDS} WMAIN ${shipped} ${A_UNPARSED_ARGUMENTS})
endfunction()

# suite_test_properties(out [TIMEOUT s] [COST s] [LOCK ...] [LABELS ...] [RUN_SERIAL]) : the CTest
# properties the test helpers take, as a PROPERTIES list in `out`. COST is about how many seconds a test
# runs on a quick machine: CTest starts the costliest first, so the long scenarios do not end up last on
# one core. RUN_SERIAL: nothing else runs beside it (a window on a real display, timed by what else runs).
function(suite_test_properties out)
  cmake_parse_arguments(A "RUN_SERIAL" "TIMEOUT;COST" "LOCK;LABELS" ${ARGN})
  set(props)
  if(A_TIMEOUT)
    list(APPEND props TIMEOUT ${A_TIMEOUT})
  endif()
  if(A_LOCK)
    list(APPEND props RESOURCE_LOCK "${A_LOCK}")
  endif()
  if(A_LABELS)
    list(APPEND props LABELS "${A_LABELS}")
  endif()
  if(A_COST)
    list(APPEND props COST ${A_COST})
  endif()
  if(A_RUN_SERIAL)
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  set(${out} ${props} PARENT_SCOPE)
endfunction()

# suite_test(name COMMAND ... [OWN_PREFIX] [ENVIRONMENT ...] [TIMEOUT s] [COST s] [LOCK ...] [LABELS ...]
# [RUN_SERIAL]) : one CTest test, with only the properties given; the helpers below add their defaults.
# Tests under Wine share the build root's prefix unless they ask for OWN_PREFIX: then
# tools/wine/own-prefix runs them in a fresh copy of the template prefix with a wineserver of its
# own, so they can install the product, change the registry and close windows beside other tests
# with no lock.
function(suite_test name)
  cmake_parse_arguments(A "OWN_PREFIX;RUN_SERIAL" "TIMEOUT;COST" "COMMAND;ENVIRONMENT;LOCK;LABELS" ${ARGN})
  if(A_OWN_PREFIX)
    add_test(NAME ${name} COMMAND ${CMAKE_SOURCE_DIR}/tools/wine/own-prefix ${name} ${A_COMMAND})
  else()
    add_test(NAME ${name} COMMAND ${A_COMMAND})
  endif()
  set(serial)
  if(A_RUN_SERIAL)
    set(serial RUN_SERIAL)
  endif()
  suite_test_properties(props TIMEOUT ${A_TIMEOUT} COST ${A_COST} LOCK ${A_LOCK} LABELS ${A_LABELS} ${serial})
  if(props)
    set_tests_properties(${name} PROPERTIES ${props})
  endif()
  if(A_ENVIRONMENT)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${A_ENVIRONMENT}")
  endif()
endfunction()

# suite_gtest(name SOURCES ... [LIBS ...] [PRODUCT] [DEFINES ...] [DEPENDS ...] [LOCK resource...] [OWN_PREFIX]
# [COST s] [TIMEOUT s] [LABELS ...]) : a GoogleTest program, registered with CTest.
# Natively each test case is its own CTest test. Under Wine a whole test program is one CTest test:
# every process start costs time there, and one process per case would dominate the run.
function(suite_gtest name)
  cmake_parse_arguments(A "OWN_PREFIX;PRODUCT" "TIMEOUT;COST" "SOURCES;LIBS;LOCK;LABELS;DEFINES;DEPENDS" ${ARGN})
  set(build SOURCES ${A_SOURCES} DEFINES ${A_DEFINES} DEPENDS ${A_DEPENDS})
  if(A_PRODUCT)
    list(APPEND build PRODUCT)
  endif()
  set(libs ${A_LIBS} GTest::gtest GTest::gtest_main)
  if(SUITE_WINDOWS)
    list(APPEND libs suite_testing_win)
  endif()
  suite_target(${name} KIND EXECUTABLE ${build} LIBS ${libs} XP_RUNTIME)
  suite_default(A_TIMEOUT 300)
  set(test TIMEOUT ${A_TIMEOUT} COST ${A_COST} LOCK ${A_LOCK} LABELS ${A_LABELS})
  if(SUITE_WINDOWS AND A_OWN_PREFIX)
    suite_test(${name} COMMAND ${CMAKE_SOURCE_DIR}/tools/wine/wine-run $<TARGET_FILE:${name}> --gtest_color=no
      OWN_PREFIX ${test} ENVIRONMENT "SUITE_BUILD=${SUITE_BUILD_ROOT};SUITE_SOURCE=${CMAKE_SOURCE_DIR}")
  elseif(SUITE_WINDOWS)
    suite_test(${name} COMMAND ${name} --gtest_color=no
      ${test} ENVIRONMENT "SUITE_BUILD=${SUITE_BUILD_ROOT};SUITE_SOURCE=${CMAKE_SOURCE_DIR}")
  else()
    suite_test_properties(props ${test})
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
      PROPERTIES ${props} ENVIRONMENT "SUITE_SOURCE=${CMAKE_SOURCE_DIR}")
  endif()
endfunction()

# suite_scenario_driver(name SOURCES ... [LIBS ...] [DEFINES ...] [DEPENDS ...]) : a GoogleTest program
# that a host-side scenario script runs under Wine (after installing the product, say), so CTest does not
# run it on its own. It runs only under Wine: no XP runtime, no debug file.
function(suite_scenario_driver name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS;DEFINES;DEPENDS" ${ARGN})
  suite_target(${name} KIND EXECUTABLE SOURCES ${A_SOURCES} DEFINES ${A_DEFINES} DEPENDS ${A_DEPENDS}
    LIBS ${A_LIBS} suite_testing_win GTest::gtest GTest::gtest_main)
endfunction()

# suite_script_test(name COMMAND ... [LOCK ...] [OWN_PREFIX] [COST s] [TIMEOUT s] [LABELS ...] [RUN_SERIAL]) :
# a scenario driven from the host (Python or shell) against the Windows tree's programs in the project's
# prefix, or in a prefix of its own (OWN_PREFIX, see above).
function(suite_script_test name)
  cmake_parse_arguments(A "" "TIMEOUT" "" ${ARGN})
  suite_default(A_TIMEOUT 600)
  suite_test(${name} ${A_UNPARSED_ARGUMENTS} TIMEOUT ${A_TIMEOUT}
    ENVIRONMENT "SUITE_BUILD=${SUITE_BUILD_ROOT};SUITE_SOURCE=${CMAKE_SOURCE_DIR};SUITE_BIN=${CMAKE_BINARY_DIR};PYTHONPATH=${SUITE_PYTHONPATH}")
endfunction()

# suite_pytest(name FILE path [ARGS ...] [LOCK ...] [OWN_PREFIX] [COST s] [TIMEOUT s]) : a host-side
# Python test (pytest, or unittest cases, which pytest runs as they are) under Debian's interpreter,
# whose packages the tests use.
# The Wine scenario drivers run their own unittest runner (tools/testing/scenario.py) through
# suite_script_test, since they take the test drivers' arguments on their command line.
function(suite_pytest name)
  cmake_parse_arguments(A "OWN_PREFIX" "FILE;TIMEOUT;COST" "ARGS;LOCK" ${ARGN})
  suite_default(A_TIMEOUT 240)
  set(extra)
  if(A_OWN_PREFIX)
    list(APPEND extra OWN_PREFIX)
  endif()
  suite_script_test(${name} COMMAND /usr/bin/python3 -m pytest -q -p no:cacheprovider
    --rootdir=${CMAKE_SOURCE_DIR} ${A_ARGS} ${A_FILE} LOCK ${A_LOCK} COST ${A_COST} ${extra} TIMEOUT ${A_TIMEOUT})
endfunction()

# suite_fuzzer(name SOURCES ... LIBS ... CORPUS dir [RUNS n]) : a libFuzzer target (fuzzing tree only)
# with its checked-in seed corpus. ./run test runs it briefly from the seeds (RUNS inputs, at most a
# few seconds); ./run fuzz [seconds] runs every target longer with a corpus that grows under build/.
function(suite_fuzzer name)
  cmake_parse_arguments(A "" "CORPUS;RUNS" "SOURCES;LIBS" ${ARGN})
  if(NOT SUITE_FUZZ)
    return()
  endif()
  suite_target(${name} KIND EXECUTABLE SOURCES ${A_SOURCES} LIBS ${A_LIBS} FLAGS ${SUITE_FUZZER_FLAGS}
    LINK_OPTIONS ${SUITE_FUZZER_FLAGS})
  suite_default(A_RUNS 20000)
  suite_test(${name}_short COMMAND python3 ${CMAKE_SOURCE_DIR}/tools/fuzz/fuzz_run.py --runs ${A_RUNS}
    --seconds 8 $<TARGET_FILE:${name}> ${A_CORPUS} TIMEOUT 120 LABELS fuzz)
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
