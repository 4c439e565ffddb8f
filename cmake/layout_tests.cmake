# Applications laid out as many are, the main file in a folder of its own (run by win_tests,
# tests/win/layout_test.cpp), and the execution level the launcher's manifest asks for.
set(cpp_app ${CMAKE_BINARY_DIR}/examples/example_cpp_dlls_app)
set(layout_runtime ${cpp_app}/libstdc++-6.dll ${cpp_app}/libgcc_s_seh-1.dll
    ${cpp_app}/libwinpthread-1.dll)

# A program in bin\ linked against the C++ runtime's DLLs, which lie beside it.
add_executable(layout_program tests/win/apps/layout_program.cpp)
target_link_options(layout_program PRIVATE -municode)
set_target_properties(layout_program PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ZOBRIN_TEST_DIR}/apps)

# layout_program: bin\ holds the program and the runtime, share\ its data. layout_dll: the
# C++ example's main DLL in bin\ with libstdc++ beside it, the rest of the runtime at the top.
# layout_missing: the same without libwinpthread-1.dll.
add_custom_command(OUTPUT ${e2e}/layout.stamp
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${e2e}/layout_program ${e2e}/layout_dll ${e2e}/layout_missing
  COMMAND ${CMAKE_COMMAND} -E make_directory ${e2e}/layout_program/bin ${e2e}/layout_dll/bin
          ${e2e}/layout_missing/bin
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:layout_program> ${layout_runtime}
          ${e2e}/layout_program/bin
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_SOURCE_DIR}/tests/win/apps/layout/share
          ${e2e}/layout_program/share
  COMMAND ${CMAKE_COMMAND} -E copy ${cpp_app}/cpp_dlls.dll ${cpp_app}/libstdc++-6.dll
          ${e2e}/layout_dll/bin
  COMMAND ${CMAKE_COMMAND} -E copy ${cpp_app}/libgcc_s_seh-1.dll ${cpp_app}/libwinpthread-1.dll
          ${e2e}/layout_dll
  COMMAND ${CMAKE_COMMAND} -E copy ${cpp_app}/cpp_dlls.dll ${cpp_app}/libstdc++-6.dll
          ${e2e}/layout_missing/bin
  COMMAND ${CMAKE_COMMAND} -E copy ${cpp_app}/libgcc_s_seh-1.dll ${e2e}/layout_missing
  COMMAND ${CMAKE_COMMAND} -E touch ${e2e}/layout.stamp
  DEPENDS layout_program example_cpp_dlls
  VERBATIM)
set(layout_programs)
# Both separators, both modes, the cached mode (its copies in the test's own %TEMP%).
foreach(row "program|layout_program|bin\\layout_program.exe|"
    "program_cached|layout_program|bin/layout_program.exe|--cache,--extract-to,{TEMP}"
    "dll|layout_dll|bin/cpp_dlls.dll|"
    "dll_cached|layout_dll|bin\\cpp_dlls.dll|--cache,--extract-to,{TEMP}"
    "missing|layout_missing|bin/cpp_dlls.dll|")
  string(REPLACE "|" ";" row "${row}")
  list(GET row 0 name)
  list(GET row 1 dir)
  list(GET row 2 main)
  list(GET row 3 args)
  string(REPLACE "," ";" args "${args}")
  zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_layout_${name}.exe APP_DIR ${e2e}/${dir} MAIN ${main}
    ARGS ${args} DEPENDS ${e2e}/layout.stamp)
  list(APPEND layout_programs ${ZOBRIN_TEST_DIR}/e2e_layout_${name}.exe)
endforeach()

# The CMake function places the main program in bin\ (its FILES beside it), --strict: the
# packer finds the runtime where the program's loader will. LEVEL as a generator expression.
zobrin_add_onefile(layout_cmake MAIN_TARGET layout_program MAIN_FOLDER bin
  FILES ${layout_runtime} DIRECTORIES tests/win/apps/layout/share
  LEVEL $<IF:$<CONFIG:Debug>,1,3> OUTPUT_DIRECTORY ${ZOBRIN_TEST_DIR})
add_dependencies(layout_cmake_inputs example_cpp_dlls)

# The execution level: a program whose manifest requires administrator rights, the echo
# application with --uac-admin, and (for neither) the echo application as it is.
add_executable(test_program_admin tests/win/apps/test_app.cpp tests/win/apps/admin.rc)
target_compile_definitions(test_program_admin PRIVATE ZOBRIN_TEST_PROGRAM)
target_link_options(test_program_admin PRIVATE -static -municode
  -Wl,--defsym,_setjmp=__intrinsic_setjmp)
set_target_properties(test_program_admin PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ZOBRIN_TEST_DIR}/apps)
zobrin_e2e_program(program_admin $<TARGET_FILE:test_program_admin>)
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_layout_admin.exe APP_DIR ${e2e}/program_admin MAIN tool.exe
  DEPENDS ${e2e}/program_admin.stamp)
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_layout_uac.exe APP_DIR ${e2e}/echo MAIN app.dll
  ARGS --uac-admin DEPENDS ${e2e}/echo.stamp)
list(APPEND layout_programs ${ZOBRIN_TEST_DIR}/e2e_layout_admin.exe
  ${ZOBRIN_TEST_DIR}/e2e_layout_uac.exe)
add_custom_target(layout_programs ALL DEPENDS ${layout_programs})
add_dependencies(win_tests layout_programs layout_cmake)
# The echo tree is made by e2e_programs' rule first: two targets must not run it at once.
add_dependencies(layout_programs e2e_programs)
target_sources(win_tests PRIVATE tests/win/layout_test.cpp)

# list names the level the settings record, verify checks the manifest against it; neither
# shows a level without one.
foreach(name admin uac)
  add_test(NAME layout_list_level_${name}
    COMMAND ${ZOBRIN_PACK} list ${ZOBRIN_TEST_DIR}/e2e_layout_${name}.exe)
  set_tests_properties(layout_list_level_${name} PROPERTIES
    PASS_REGULAR_EXPRESSION "\nexecution level: requireAdministrator\n")
  add_test(NAME layout_verify_level_${name}
    COMMAND ${ZOBRIN_PACK} verify ${ZOBRIN_TEST_DIR}/e2e_layout_${name}.exe)
endforeach()
add_test(NAME layout_list_level_none COMMAND ${ZOBRIN_PACK} list ${ZOBRIN_TEST_DIR}/e2e_echo.exe)
set_tests_properties(layout_list_level_none PROPERTIES FAIL_REGULAR_EXPRESSION "execution level")
add_test(NAME layout_verify_level_mismatch
  COMMAND ${CMAKE_SOURCE_DIR}/tests/check_execution_level.sh ${ZOBRIN_TEST_DIR}/e2e_layout_uac.exe
          ${ZOBRIN_PACK} ${ZOBRIN_TEST_DIR}/e2e_layout_uac_changed.exe)
