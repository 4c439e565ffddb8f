# Windows test programs, run under Wine by ctest.
if(NOT ZOBRIN_CRAFT)
  message(FATAL_ERROR "set ZOBRIN_CRAFT to the host craft-payload tool")
endif()

set(ZOBRIN_TEST_DIR ${CMAKE_BINARY_DIR}/tests)
file(MAKE_DIRECTORY ${ZOBRIN_TEST_DIR})

set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

# A program built like the launcher: wWinMain entry, launcher settings, the launcher library
# with its test counters.
function(zobrin_probe name)
  add_executable(${name} ${ARGN})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE zobrin_launcher_testing zobrin_launcher_options
    zobrin_exe_settings)
  target_link_options(${name} PRIVATE -municode)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ZOBRIN_TEST_DIR})
endfunction()

# Packs `payload_file` into an object and links it into a payload walk program.
function(zobrin_walk_program name payload_file)
  set(object ${ZOBRIN_TEST_DIR}/${name}.payload.o)
  add_custom_command(OUTPUT ${object}
    COMMAND ${ZOBRIN_PACK} object --payload ${payload_file} -o ${object}
    DEPENDS ${payload_file} ${ZOBRIN_PACK}
    VERBATIM)
  zobrin_probe(${name} tests/win/payload_walk.cpp ${object})
endfunction()

set(ZOBRIN_PAYLOAD_CASES
  table_fills_array table_one_past table_fills_stream_one stream_one_past stream_to_end
  shorter_than_header empty_table format_example flags_8 flags_all flags_1_then_5 name_empty
  name_4095 name_4096 name_unterminated second_empty second_string second_4096 no_last_flag
  partial_entry bytes_after_last stream_one_short stream_longer stream_not_zstd
  stream_truncated stream_empty size_zero_bad_stream buffer_exact buffer_exact_one_more
  buffer_two_exact buffer_straddle buffer_held_back stream_checksum stream_checksum_bad
  stream_checksum_cut stream_after_frame name_leaves_first)
set(zobrin_walk_targets)
foreach(case ${ZOBRIN_PAYLOAD_CASES})
  set(file ${ZOBRIN_TEST_DIR}/case_${case}.payload)
  add_custom_command(OUTPUT ${file}
    COMMAND ${ZOBRIN_CRAFT} ${case} ${file}
    DEPENDS ${ZOBRIN_CRAFT}
    VERBATIM)
  zobrin_walk_program(walk_${case} ${file})
  list(APPEND zobrin_walk_targets walk_${case})
endforeach()

# Round trip: a sample tree with a real application DLL, packed by zobrin-pack.
add_library(test_app SHARED tests/win/apps/test_app.cpp)
target_link_options(test_app PRIVATE -static -Wl,--defsym,_setjmp=__intrinsic_setjmp)
set_target_properties(test_app PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${ZOBRIN_TEST_DIR}/apps)
set(tree ${ZOBRIN_TEST_DIR}/roundtrip_tree)
set(roundtrip_payload ${ZOBRIN_TEST_DIR}/roundtrip.payload)
add_custom_command(OUTPUT ${roundtrip_payload}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${tree}
  COMMAND ${ZOBRIN_CRAFT} tree ${tree}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:test_app> ${tree}/app.dll
  COMMAND ${ZOBRIN_PACK} payload ${tree} --main app.dll -o ${roundtrip_payload}
  DEPENDS test_app ${ZOBRIN_CRAFT} ${ZOBRIN_PACK}
  VERBATIM)
zobrin_walk_program(walk_roundtrip ${roundtrip_payload})

zobrin_probe(fatal_probe tests/win/fatal_probe.cpp)

# Started by scripts/run-tests.sh before the tests (see the source).
add_executable(desktop_keeper tests/win/support/desktop_keeper.cpp)
target_link_options(desktop_keeper PRIVATE -municode -mwindows)
set_target_properties(desktop_keeper PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ZOBRIN_TEST_DIR})

# Windows paths of the test directories, for the tests running under Wine.
string(REPLACE "/" "\\\\" ZOBRIN_TEST_DIR_WIN "Z:${ZOBRIN_TEST_DIR}")

add_executable(win_tests
  tests/win/cache_test.cpp tests/win/cleanup_remove_test.cpp tests/win/cleanup_shutdown_test.cpp
  tests/win/cleanup_sweep_test.cpp
  tests/win/command_line_test.cpp tests/win/env_test.cpp tests/win/extract_test.cpp
  tests/win/extract_ahead_test.cpp tests/win/file_closer_test.cpp
  tests/win/fatal_test.cpp tests/win/integrity_test.cpp tests/win/launch_test.cpp tests/win/onefile_image_test.cpp
  tests/win/path_utils_test.cpp tests/win/payload_cases_test.cpp
  tests/win/payload_directory_test.cpp tests/win/roundtrip_test.cpp
  tests/win/template_test.cpp tests/win/wide_text_test.cpp tests/win/examples_test.cpp
  tests/win/app_header_test.cpp
  tests/win/support/run_process.cpp)
target_include_directories(win_tests PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(win_tests PRIVATE ZOBRIN_TEST_DIR_WIN=L"${ZOBRIN_TEST_DIR_WIN}")
target_link_libraries(win_tests PRIVATE zobrin_launcher_testing gtest_main zobrin_exe_settings imagehlp
  advapi32)
set_target_properties(win_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ZOBRIN_TEST_DIR})
add_dependencies(win_tests fatal_probe desktop_keeper walk_roundtrip ${zobrin_walk_targets})
gtest_discover_tests(win_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
  PROPERTIES TIMEOUT 300)

# The launcher's build settings, read from a built program's headers.
add_test(NAME build_settings
  COMMAND ${CMAKE_SOURCE_DIR}/tests/check_build_settings.sh $<TARGET_FILE:fatal_probe>)

# ---- Environment, path templates and the own executable path (tests/win/paths_*) ----
# paths_probe runs the functions that may end the process. paths_real/ holds a copy of it,
# and paths_link is a Unix symbolic link to that directory (made here, as Wine cannot make
# one): two names of one executable.
zobrin_probe(paths_probe tests/win/paths_probe.cpp)
add_custom_command(TARGET paths_probe POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E make_directory ${ZOBRIN_TEST_DIR}/paths_real
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:paths_probe> ${ZOBRIN_TEST_DIR}/paths_real/paths_probe.exe
  COMMAND ${CMAKE_COMMAND} -E create_symlink paths_real ${ZOBRIN_TEST_DIR}/paths_link
  VERBATIM)
add_dependencies(win_tests paths_probe)
# ---- end of the paths block ----

# --- Shutdown and directory removal: helper programs for the cleanup tests. ---
zobrin_probe(cleanup_child_probe tests/win/cleanup_child_probe.cpp)
zobrin_probe(cleanup_launcher_probe tests/win/cleanup_launcher_probe.cpp)
add_dependencies(win_tests cleanup_child_probe cleanup_launcher_probe)
zobrin_probe(extract_probe tests/win/extract_probe.cpp)
add_dependencies(win_tests extract_probe)
