# Fault injection: a second launcher kit whose launcher.exe is linked from the testing library
# (with the fault seam, base/fault_seam.h), and executables packed with it.
set(zobrin_fault_kit_dir ${ZOBRIN_TEST_DIR}/kit_faults)
set(zobrin_fault_kit_stamp ${zobrin_fault_kit_dir}/.stamp)
add_custom_command(OUTPUT ${zobrin_fault_kit_stamp}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${zobrin_fault_kit_dir}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:zobrin_entry> ${zobrin_fault_kit_dir}/libzobrin_entry.a
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:zobrin_launcher_testing>
          ${zobrin_fault_kit_dir}/libzobrin_launcher.a
  COMMAND ${CMAKE_COMMAND} -E copy ${ZOBRIN_ZSTD_WIN}/lib/libzstd.a ${zobrin_fault_kit_dir}/libzstd.a
  COMMAND ${CMAKE_COMMAND} -E copy ${zobrin_resource} ${zobrin_fault_kit_dir}/launcher.res.o
  COMMAND ${CMAKE_COMMAND} -E copy ${ZOBRIN_UCRT_SPECS} ${zobrin_fault_kit_dir}/ucrt.specs
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/packer/payload_last.ld
          ${zobrin_fault_kit_dir}/payload-last.ld
  COMMAND ${CMAKE_COMMAND} -E copy ${zobrin_link_flags_file} ${zobrin_fault_kit_dir}/launcher.link
  COMMAND ${ZOBRIN_PACK} launcher -o ${zobrin_fault_kit_dir}/launcher.exe
          --launcher-dir ${zobrin_fault_kit_dir}
  COMMAND ${CMAKE_COMMAND} -E touch ${zobrin_fault_kit_stamp}
  DEPENDS zobrin_entry zobrin_launcher_testing ${zobrin_resource} ${ZOBRIN_ZSTD_WIN}/lib/libzstd.a
          ${CMAKE_SOURCE_DIR}/packer/payload_last.ld ${zobrin_link_flags_file} ${ZOBRIN_PACK}
  VERBATIM)

# The application: the test DLL and one more file in a folder (two entries, several chunks).
set(fault_app ${e2e}/faults)
add_custom_command(OUTPUT ${fault_app}.stamp
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${fault_app}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${fault_app}/sub
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:test_app> ${fault_app}/app.dll
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/CMakeLists.txt ${fault_app}/sub/notes.txt
  COMMAND ${CMAKE_COMMAND} -E touch ${fault_app}.stamp
  DEPENDS test_app ${CMAKE_SOURCE_DIR}/CMakeLists.txt
  VERBATIM)
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_faults.exe APP_DIR ${fault_app} MAIN app.dll
  KIT ${zobrin_fault_kit_dir} KIT_STAMP ${zobrin_fault_kit_stamp}
  DEPENDS ${fault_app}.stamp)
# The program mode with the same kit, for a policy's refusal of the program.
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_faults_program.exe APP_DIR ${e2e}/program MAIN tool.exe
  KIT ${zobrin_fault_kit_dir} KIT_STAMP ${zobrin_fault_kit_stamp}
  DEPENDS ${e2e}/program.stamp)
# The main DLL in a folder beside a file of its own, for the removal's calls.
set(fault_folder_app ${e2e}/faults_folder)
add_custom_command(OUTPUT ${fault_folder_app}.stamp
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${fault_folder_app}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${fault_folder_app}/bin
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:test_app> ${fault_folder_app}/bin/app.dll
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/CMakeLists.txt ${fault_folder_app}/bin/notes.txt
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/CMakeLists.txt ${fault_folder_app}/top.txt
  COMMAND ${CMAKE_COMMAND} -E touch ${fault_folder_app}.stamp
  DEPENDS test_app ${CMAKE_SOURCE_DIR}/CMakeLists.txt
  VERBATIM)
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_faults_folder.exe APP_DIR ${fault_folder_app} MAIN bin/app.dll
  KIT ${zobrin_fault_kit_dir} KIT_STAMP ${zobrin_fault_kit_stamp}
  DEPENDS ${fault_folder_app}.stamp)
# 3000 files with the same kit, for the progress line: each file's open delayed through the
# seam, so the extraction outlasts the line's delay on any machine.
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_faults_many.exe APP_DIR ${e2e}/many MAIN app.dll
  KIT ${zobrin_fault_kit_dir} KIT_STAMP ${zobrin_fault_kit_stamp}
  DEPENDS ${e2e}/many.stamp)
add_custom_target(fault_programs ALL DEPENDS ${ZOBRIN_TEST_DIR}/e2e_faults.exe
  ${ZOBRIN_TEST_DIR}/e2e_faults_program.exe ${ZOBRIN_TEST_DIR}/e2e_faults_folder.exe
  ${ZOBRIN_TEST_DIR}/e2e_faults_many.exe)
add_dependencies(win_tests fault_programs)
# The program tree is made by e2e_programs first.
add_dependencies(fault_programs e2e_programs)

# The seam is in the fault kit's launcher and not in the shipped one (its refusal text is a
# narrow string, so it shows in the image).
add_test(NAME fault_seam_only_in_test_kit
  COMMAND sh -c "grep -qa 'fault seam: cannot use' \"$0\" && ! grep -qa 'fault seam' \"$1\""
          ${zobrin_fault_kit_dir}/launcher.exe ${zobrin_kit_dir}/launcher.exe)

target_sources(win_tests PRIVATE tests/win/fault_test.cpp)
