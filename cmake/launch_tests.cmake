# Whole launcher runs: onefile executables built with `zobrin-pack exe`, run by win_tests.
set(e2e ${ZOBRIN_TEST_DIR}/e2e)
set(e2e_programs)

add_library(no_entry_app SHARED tests/win/apps/no_entry_app.cpp)
set_target_properties(no_entry_app PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${ZOBRIN_TEST_DIR}/apps)

# An application directory: each KIND is a craft-payload tree command ("tree", "many N",
# "big MIB") run on it in turn, with APP (default: the test application) as app.dll.
function(zobrin_e2e_app name)
  cmake_parse_arguments(arg "" "APP" "" ${ARGN})
  if(NOT arg_APP)
    set(arg_APP test_app)
  endif()
  set(dir ${e2e}/${name})
  set(craft_commands)
  foreach(one ${arg_UNPARSED_ARGUMENTS})
    separate_arguments(kind_args UNIX_COMMAND "${one}")
    list(POP_FRONT kind_args command)
    list(APPEND craft_commands COMMAND ${ZOBRIN_CRAFT} ${command} ${dir} ${kind_args})
  endforeach()
  add_custom_command(OUTPUT ${dir}.stamp
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${dir}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    ${craft_commands}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${arg_APP}> ${dir}/app.dll
    COMMAND ${CMAKE_COMMAND} -E touch ${dir}.stamp
    DEPENDS ${arg_APP} ${ZOBRIN_CRAFT}
    VERBATIM)
endfunction()

zobrin_e2e_app(echo "tree")
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_echo.exe APP_DIR ${e2e}/echo MAIN app.dll
  DEPENDS ${e2e}/echo.stamp)
zobrin_e2e_app(many "many 3000")
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_many.exe APP_DIR ${e2e}/many MAIN app.dll
  DEPENDS ${e2e}/many.stamp)
zobrin_e2e_app(big "big 136")
# A small tree for the byte-flip test: the test application and 20 files in nested folders.
zobrin_e2e_app(flip "many 20")
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_flip.exe APP_DIR ${e2e}/flip MAIN app.dll
  DEPENDS ${e2e}/flip.stamp)
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_flip_frames.exe APP_DIR ${e2e}/flip MAIN app.dll
  ARGS --frame-size 65536 DEPENDS ${e2e}/flip.stamp)
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_big.exe APP_DIR ${e2e}/big MAIN app.dll LEVEL 3
  DEPENDS ${e2e}/big.stamp)
# Extraction that takes a while, for interrupts during it: 2000 small files in 210 folders
# (d0 to d9, written in that order) after a 64 MiB file (big.bin).
zobrin_e2e_app(slow "many 2000" "big 64")
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_slow.exe APP_DIR ${e2e}/slow MAIN app.dll LEVEL 3
  DEPENDS ${e2e}/slow.stamp)
# The same application with the launcher linked for it (`--linker`) instead of copied.
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_echo_linked.exe APP_DIR ${e2e}/echo MAIN app.dll LINK
  DEPENDS ${e2e}/echo.stamp)
# The kit's launcher as the linker wrote it, for the image checksum test.
add_custom_command(OUTPUT ${ZOBRIN_TEST_DIR}/kit_launcher.exe
  COMMAND ${CMAKE_COMMAND} -E copy ${zobrin_kit_dir}/launcher.exe ${ZOBRIN_TEST_DIR}/kit_launcher.exe
  DEPENDS ${ZOBRIN_KIT_STAMP}
  VERBATIM)
# The cached mode: the same trees packed with --cache (the flip tree as another version of
# the same application), a payload whose stream fails to decode, and a slow extraction.
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_cached.exe APP_DIR ${e2e}/echo MAIN app.dll
  ARGS --cache DEPENDS ${e2e}/echo.stamp)
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_cached_other.exe APP_DIR ${e2e}/flip MAIN app.dll
  ARGS --cache DEPENDS ${e2e}/flip.stamp)
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_cached_many.exe APP_DIR ${e2e}/many MAIN app.dll
  ARGS --cache DEPENDS ${e2e}/many.stamp)
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_cached_decode_error.exe
  PAYLOAD ${e2e}/e2e_decode_error.payload ARGS --cache)
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_cached_slow.exe APP_DIR ${e2e}/slow MAIN app.dll LEVEL 3
  ARGS --cache DEPENDS ${e2e}/slow.stamp)
list(APPEND e2e_programs ${ZOBRIN_TEST_DIR}/e2e_cached.exe ${ZOBRIN_TEST_DIR}/e2e_cached_other.exe
  ${ZOBRIN_TEST_DIR}/e2e_cached_many.exe ${ZOBRIN_TEST_DIR}/e2e_cached_decode_error.exe
  ${ZOBRIN_TEST_DIR}/e2e_cached_slow.exe)
list(APPEND e2e_programs ${ZOBRIN_TEST_DIR}/e2e_echo.exe ${ZOBRIN_TEST_DIR}/e2e_many.exe
  ${ZOBRIN_TEST_DIR}/e2e_flip.exe ${ZOBRIN_TEST_DIR}/e2e_flip_frames.exe
  ${ZOBRIN_TEST_DIR}/e2e_big.exe ${ZOBRIN_TEST_DIR}/e2e_slow.exe ${ZOBRIN_TEST_DIR}/e2e_echo_linked.exe
  ${ZOBRIN_TEST_DIR}/kit_launcher.exe)

# Ordinary programs as the main program: the test application built as a console and a
# windowed x86-64 program, and as a console i386 one (Debian's i686 mingw-w64, run under
# WoW64), each the main file of the round-trip tree as tool.exe.
foreach(kind console windowed)
  add_executable(test_program_${kind} tests/win/apps/test_app.cpp)
  target_compile_definitions(test_program_${kind} PRIVATE ZOBRIN_TEST_PROGRAM
    $<$<STREQUAL:${kind},windowed>:ZOBRIN_TEST_WINDOWED>)
  target_link_options(test_program_${kind} PRIVATE -static -municode
    -Wl,--defsym,_setjmp=__intrinsic_setjmp $<$<STREQUAL:${kind},windowed>:-mwindows>)
  set_target_properties(test_program_${kind} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ZOBRIN_TEST_DIR}/apps)
endforeach()
set(test_program_i386 ${ZOBRIN_TEST_DIR}/apps/test_program_i386.exe)
add_custom_command(OUTPUT ${test_program_i386}
  COMMAND i686-w64-mingw32-g++-posix -O2 -static -municode -D__USE_MINGW_ANSI_STDIO=1
          -DZOBRIN_TEST_PROGRAM -o ${test_program_i386} ${CMAKE_SOURCE_DIR}/tests/win/apps/test_app.cpp
  DEPENDS ${CMAKE_SOURCE_DIR}/tests/win/apps/test_app.cpp
  VERBATIM)
function(zobrin_e2e_program name program)
  set(dir ${e2e}/${name})
  add_custom_command(OUTPUT ${dir}.stamp
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${dir}
    COMMAND ${ZOBRIN_CRAFT} tree ${dir}
    COMMAND ${CMAKE_COMMAND} -E copy ${program} ${dir}/tool.exe
    COMMAND ${CMAKE_COMMAND} -E touch ${dir}.stamp
    DEPENDS ${program} ${ZOBRIN_CRAFT}
    VERBATIM)
endfunction()
zobrin_e2e_program(program $<TARGET_FILE:test_program_console>)
zobrin_e2e_program(program_windowed $<TARGET_FILE:test_program_windowed>)
zobrin_e2e_program(program_i386 ${test_program_i386})
foreach(name program program_windowed program_i386)
  zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_${name}.exe APP_DIR ${e2e}/${name} MAIN tool.exe
    DEPENDS ${e2e}/${name}.stamp)
  list(APPEND e2e_programs ${ZOBRIN_TEST_DIR}/e2e_${name}.exe)
endforeach()
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_program_cached.exe APP_DIR ${e2e}/program MAIN tool.exe
  ARGS --cache DEPENDS ${e2e}/program.stamp)
list(APPEND e2e_programs ${ZOBRIN_TEST_DIR}/e2e_program_cached.exe)
# The launcher's subsystem follows the program's, and list names the program.
add_test(NAME build_settings_program_console
  COMMAND ${CMAKE_SOURCE_DIR}/tests/check_build_settings.sh ${ZOBRIN_TEST_DIR}/e2e_program.exe console)
add_test(NAME build_settings_program_windowed
  COMMAND ${CMAKE_SOURCE_DIR}/tests/check_build_settings.sh ${ZOBRIN_TEST_DIR}/e2e_program_windowed.exe)
add_test(NAME list_names_the_main_program
  COMMAND ${ZOBRIN_PACK} list ${ZOBRIN_TEST_DIR}/e2e_program_i386.exe)
set_tests_properties(list_names_the_main_program PROPERTIES
  PASS_REGULAR_EXPRESSION "\nmain: program \\(console, i386\\)\n")

# Payloads made by hand, for the failures a real directory cannot produce.
foreach(case e2e_name_too_long e2e_open_fails e2e_second_string e2e_decode_error
    e2e_name_leaves e2e_name_line_breaks e2e_name_twice e2e_name_case e2e_name_case_wide
    e2e_name_device
    e2e_name_dot e2e_name_space e2e_name_conout e2e_name_file_dir)
  set(file ${e2e}/${case}.payload)
  add_custom_command(OUTPUT ${file}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${e2e}
    COMMAND ${ZOBRIN_CRAFT} ${case} ${file}
    DEPENDS ${ZOBRIN_CRAFT}
    VERBATIM)
  zobrin_onefile(${ZOBRIN_TEST_DIR}/${case}.exe PAYLOAD ${file})
  list(APPEND e2e_programs ${ZOBRIN_TEST_DIR}/${case}.exe)
endforeach()

# A main DLL without run_code, and one that is not a DLL at all.
add_custom_command(OUTPUT ${e2e}/no_entry.payload ${e2e}/bad_dll.payload
  COMMAND ${CMAKE_COMMAND} -E make_directory ${e2e}
  COMMAND ${ZOBRIN_CRAFT} single app.dll $<TARGET_FILE:no_entry_app> ${e2e}/no_entry.payload
  COMMAND ${ZOBRIN_CRAFT} single app.dll ${CMAKE_SOURCE_DIR}/README.md ${e2e}/bad_dll.payload
  DEPENDS no_entry_app ${ZOBRIN_CRAFT} ${CMAKE_SOURCE_DIR}/README.md
  VERBATIM)
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_no_entry.exe PAYLOAD ${e2e}/no_entry.payload)
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_bad_dll.exe PAYLOAD ${e2e}/bad_dll.payload)
list(APPEND e2e_programs ${ZOBRIN_TEST_DIR}/e2e_no_entry.exe ${ZOBRIN_TEST_DIR}/e2e_bad_dll.exe)

# The C++ example without libstdc++-6.dll, and without libwinpthread-1.dll (which the DLLs
# beside the main DLL import): the load error names the missing module.
set(cpp_app ${CMAKE_BINARY_DIR}/examples/example_cpp_dlls_app)
add_custom_command(OUTPUT ${e2e}/missing.stamp
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${e2e}/missing_dll ${e2e}/missing_nested_dll
  COMMAND ${CMAKE_COMMAND} -E make_directory ${e2e}/missing_dll ${e2e}/missing_nested_dll
  COMMAND ${CMAKE_COMMAND} -E copy ${cpp_app}/cpp_dlls.dll ${cpp_app}/libgcc_s_seh-1.dll
          ${cpp_app}/libwinpthread-1.dll ${e2e}/missing_dll
  COMMAND ${CMAKE_COMMAND} -E copy ${cpp_app}/cpp_dlls.dll ${cpp_app}/libgcc_s_seh-1.dll
          ${cpp_app}/libstdc++-6.dll ${e2e}/missing_nested_dll
  COMMAND ${CMAKE_COMMAND} -E touch ${e2e}/missing.stamp
  DEPENDS example_cpp_dlls
  VERBATIM)
foreach(case missing_dll missing_nested_dll)
  zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_${case}.exe APP_DIR ${e2e}/${case} MAIN cpp_dlls.dll
    DEPENDS ${e2e}/missing.stamp)
  list(APPEND e2e_programs ${ZOBRIN_TEST_DIR}/e2e_${case}.exe)
endforeach()

# Programs that cannot start for a DLL: the layout test's program without the C++ runtime,
# and with it but without libwinpthread-1.dll (which libstdc++-6.dll imports); the i386 test
# program built against the shared libgcc, without it, and with an x86-64 DLL of that name.
set(test_program_i386_shared ${ZOBRIN_TEST_DIR}/apps/test_program_i386_shared.exe)
add_custom_command(OUTPUT ${test_program_i386_shared}
  COMMAND i686-w64-mingw32-g++-posix -O2 -municode -D__USE_MINGW_ANSI_STDIO=1
          -DZOBRIN_TEST_PROGRAM -o ${test_program_i386_shared}
          ${CMAKE_SOURCE_DIR}/tests/win/apps/test_app.cpp
  DEPENDS ${CMAKE_SOURCE_DIR}/tests/win/apps/test_app.cpp
  VERBATIM)
add_custom_command(OUTPUT ${e2e}/program_missing.stamp
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${e2e}/program_missing_dll ${e2e}/program_missing_nested
          ${e2e}/program_missing_i386 ${e2e}/program_wrong_machine
  COMMAND ${CMAKE_COMMAND} -E make_directory ${e2e}/program_missing_dll
          ${e2e}/program_missing_nested ${e2e}/program_missing_i386 ${e2e}/program_wrong_machine
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:layout_program> ${e2e}/program_missing_dll/tool.exe
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:layout_program>
          ${e2e}/program_missing_nested/tool.exe
  COMMAND ${CMAKE_COMMAND} -E copy ${cpp_app}/libgcc_s_seh-1.dll ${cpp_app}/libstdc++-6.dll
          ${e2e}/program_missing_nested
  COMMAND ${CMAKE_COMMAND} -E copy ${test_program_i386_shared} ${e2e}/program_missing_i386/tool.exe
  COMMAND ${CMAKE_COMMAND} -E copy ${test_program_i386_shared}
          ${e2e}/program_wrong_machine/tool.exe
  COMMAND ${CMAKE_COMMAND} -E copy ${cpp_app}/libgcc_s_seh-1.dll
          ${e2e}/program_wrong_machine/libgcc_s_dw2-1.dll
  COMMAND ${CMAKE_COMMAND} -E touch ${e2e}/program_missing.stamp
  DEPENDS layout_program example_cpp_dlls ${test_program_i386_shared}
  VERBATIM)
foreach(case program_missing_dll program_missing_nested program_missing_i386
    program_wrong_machine)
  zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_${case}.exe APP_DIR ${e2e}/${case} MAIN tool.exe
    DEPENDS ${e2e}/program_missing.stamp)
  list(APPEND e2e_programs ${ZOBRIN_TEST_DIR}/e2e_${case}.exe)
endforeach()

add_custom_target(e2e_programs ALL DEPENDS ${e2e_programs})
add_dependencies(win_tests e2e_programs)

zobrin_probe(interrupt_harness tests/win/interrupt_harness.cpp)
add_dependencies(win_tests interrupt_harness)

# The onefile executable itself carries the launcher's build settings and needs no DLL beyond
# the system's.
add_test(NAME build_settings_onefile
  COMMAND ${CMAKE_SOURCE_DIR}/tests/check_build_settings.sh ${ZOBRIN_TEST_DIR}/e2e_echo.exe)

# The same application as a console program, and dressed with an icon and version information.
set(zobrin_icon ${e2e}/icon.ico)
add_custom_command(OUTPUT ${zobrin_icon}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${e2e}
  COMMAND ${ZOBRIN_CRAFT} icon ${zobrin_icon}
  DEPENDS ${ZOBRIN_CRAFT}
  VERBATIM)
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_console.exe APP_DIR ${e2e}/echo MAIN app.dll
  ARGS --console DEPENDS ${e2e}/echo.stamp)
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_dressed.exe APP_DIR ${e2e}/echo MAIN app.dll
  ARGS --icon ${zobrin_icon} --product "Zobrin Test App" --company "Café Tests"
       --file-version 1.2.3.4 --description "An application for tests"
       --copyright "© 2026 Zobrin tests"
  DEPENDS ${e2e}/echo.stamp ${zobrin_icon})

# Authenticode-signed copies, with a certificate made here (never kept in the sources).
set(zobrin_sign ${ZOBRIN_TEST_DIR}/signing)
add_custom_command(OUTPUT ${zobrin_sign}/cert.pem ${zobrin_sign}/key.pem
  COMMAND ${CMAKE_COMMAND} -E make_directory ${zobrin_sign}
  COMMAND openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Zobrin Onefile tests"
          -keyout ${zobrin_sign}/key.pem -out ${zobrin_sign}/cert.pem
  VERBATIM)
foreach(name e2e_echo e2e_dressed)
  add_custom_command(OUTPUT ${ZOBRIN_TEST_DIR}/${name}_signed.exe
    COMMAND ${CMAKE_COMMAND} -E rm -f ${ZOBRIN_TEST_DIR}/${name}_signed.exe
    COMMAND osslsigncode sign -certs ${zobrin_sign}/cert.pem -key ${zobrin_sign}/key.pem
            -n "Zobrin test" -in ${ZOBRIN_TEST_DIR}/${name}.exe
            -out ${ZOBRIN_TEST_DIR}/${name}_signed.exe
    DEPENDS ${ZOBRIN_TEST_DIR}/${name}.exe ${zobrin_sign}/cert.pem
    VERBATIM)
endforeach()
add_custom_target(e2e_extras ALL DEPENDS ${ZOBRIN_TEST_DIR}/e2e_console.exe
  ${ZOBRIN_TEST_DIR}/e2e_dressed.exe ${ZOBRIN_TEST_DIR}/e2e_echo_signed.exe
  ${ZOBRIN_TEST_DIR}/e2e_dressed_signed.exe)
add_dependencies(win_tests e2e_extras)

add_test(NAME build_settings_console
  COMMAND ${CMAKE_SOURCE_DIR}/tests/check_build_settings.sh ${ZOBRIN_TEST_DIR}/e2e_console.exe console)
add_test(NAME build_settings_dressed
  COMMAND ${CMAKE_SOURCE_DIR}/tests/check_build_settings.sh ${ZOBRIN_TEST_DIR}/e2e_dressed.exe)
# Resources and signatures as other tools read them.
add_test(NAME resources_and_signatures
  COMMAND ${CMAKE_SOURCE_DIR}/tests/check_resources.sh ${ZOBRIN_TEST_DIR} ${ZOBRIN_PACK}
          ${zobrin_icon} ${CMAKE_SOURCE_DIR}/run/launcher.manifest ${zobrin_sign}/cert.pem)
# The version information and icons as the system reads them.
target_link_libraries(win_tests PRIVATE version shell32 gdi32 user32)

# A built executable names the launcher version it carries.
add_test(NAME list_names_the_launcher_version
  COMMAND ${ZOBRIN_PACK} list ${ZOBRIN_TEST_DIR}/e2e_echo.exe)
set_tests_properties(list_names_the_launcher_version PROPERTIES
  PASS_REGULAR_EXPRESSION "\nlauncher: version ${PROJECT_VERSION}\n$")

# The progress line: launchers on a console whose screen is read while they run.
zobrin_probe(console_screen tests/win/console_screen.cpp)
add_dependencies(win_tests console_screen)
add_test(NAME progress_line_on_a_console
  COMMAND ${CMAKE_SOURCE_DIR}/tests/check_progress_line.sh ${ZOBRIN_TEST_DIR})
