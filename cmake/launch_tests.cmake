# Whole launcher runs: onefile executables built with `zobrin-pack exe`, run by win_tests.
set(e2e ${ZOBRIN_TEST_DIR}/e2e)
set(e2e_programs)

add_library(no_entry_app SHARED tests/win/apps/no_entry_app.cpp)
set_target_properties(no_entry_app PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${ZOBRIN_TEST_DIR}/apps)

# An application directory: `kind` is a craft-payload tree command ("tree", "many N",
# "big MIB"), with the test application as app.dll.
function(zobrin_e2e_app name kind)
  set(dir ${e2e}/${name})
  separate_arguments(kind_args UNIX_COMMAND "${kind}")
  list(POP_FRONT kind_args command)
  set(rest ${kind_args})
  add_custom_command(OUTPUT ${dir}.stamp
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${dir}
    COMMAND ${ZOBRIN_CRAFT} ${command} ${dir} ${rest}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:test_app> ${dir}/app.dll
    COMMAND ${CMAKE_COMMAND} -E touch ${dir}.stamp
    DEPENDS test_app ${ZOBRIN_CRAFT}
    VERBATIM)
endfunction()

zobrin_e2e_app(echo "tree")
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_echo.exe APP_DIR ${e2e}/echo MAIN app.dll
  DEPENDS ${e2e}/echo.stamp)
zobrin_e2e_app(many "many 3000")
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_many.exe APP_DIR ${e2e}/many MAIN app.dll
  DEPENDS ${e2e}/many.stamp)
zobrin_e2e_app(big "big 136")
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_big.exe APP_DIR ${e2e}/big MAIN app.dll LEVEL 3
  DEPENDS ${e2e}/big.stamp)
# The same application with the launcher linked for it (`--linker`) instead of copied.
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_echo_linked.exe APP_DIR ${e2e}/echo MAIN app.dll LINK
  DEPENDS ${e2e}/echo.stamp)
# The kit's launcher as the linker wrote it, for the image checksum test.
add_custom_command(OUTPUT ${ZOBRIN_TEST_DIR}/kit_launcher.exe
  COMMAND ${CMAKE_COMMAND} -E copy ${zobrin_kit_dir}/launcher.exe ${ZOBRIN_TEST_DIR}/kit_launcher.exe
  DEPENDS ${ZOBRIN_KIT_STAMP}
  VERBATIM)
list(APPEND e2e_programs ${ZOBRIN_TEST_DIR}/e2e_echo.exe ${ZOBRIN_TEST_DIR}/e2e_many.exe
  ${ZOBRIN_TEST_DIR}/e2e_big.exe ${ZOBRIN_TEST_DIR}/e2e_echo_linked.exe
  ${ZOBRIN_TEST_DIR}/kit_launcher.exe)

# Payloads made by hand, for the failures a real directory cannot produce.
foreach(case e2e_name_too_long e2e_file_in_the_way e2e_second_string e2e_decode_error)
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

add_custom_target(e2e_programs ALL DEPENDS ${e2e_programs})
add_dependencies(win_tests e2e_programs)

# The launcher with a fixed sequence of random seeds, carrying the round-trip tree.
set(directory_probe_object ${ZOBRIN_TEST_DIR}/directory_probe.payload.o)
add_custom_command(OUTPUT ${directory_probe_object}
  COMMAND ${ZOBRIN_PACK} object --payload ${roundtrip_payload} -o ${directory_probe_object}
  DEPENDS ${roundtrip_payload} ${ZOBRIN_PACK}
  VERBATIM)
zobrin_probe(directory_probe tests/win/directory_probe.cpp ${directory_probe_object})
add_dependencies(win_tests directory_probe)

zobrin_probe(interrupt_harness tests/win/interrupt_harness.cpp)
add_dependencies(win_tests interrupt_harness)

# The onefile executable itself carries the launcher's build settings and needs no DLL beyond
# the system's.
add_test(NAME build_settings_onefile
  COMMAND ${CMAKE_SOURCE_DIR}/tests/check_build_settings.sh ${ZOBRIN_TEST_DIR}/e2e_echo.exe)
