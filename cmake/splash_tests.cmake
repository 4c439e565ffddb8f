# The splash: the splash application (tests/win/apps/splash_app.cpp) with the test image,
# packed with --splash over a slow tree (4000 small files and 64 MiB) and alone, shown
# on a virtual display by tests/check_splash.sh; and a fast one with the fault kit, whose
# trace shows that a fast start loads nothing of it (tests/win/fault_test.cpp).
find_program(ZOBRIN_PYTHON python3 REQUIRED)
add_library(splash_app SHARED tests/win/apps/splash_app.cpp)
target_include_directories(splash_app PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_link_options(splash_app PRIVATE -static -Wl,--defsym,_setjmp=__intrinsic_setjmp)
target_link_libraries(splash_app PRIVATE user32)
set_target_properties(splash_app PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${ZOBRIN_TEST_DIR}/apps)

set(splash_image ${e2e}/splash.png)
add_custom_command(OUTPUT ${splash_image}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${e2e}
  COMMAND ${ZOBRIN_PYTHON} ${CMAKE_SOURCE_DIR}/tests/splash_shot.py image ${splash_image}
  DEPENDS ${CMAKE_SOURCE_DIR}/tests/splash_shot.py
  VERBATIM)
zobrin_e2e_app(splash_slow "many 4000" "big 64" APP splash_app)
zobrin_e2e_app(splash_fast APP splash_app)
foreach(name slow fast)
  zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_splash_${name}.exe APP_DIR ${e2e}/splash_${name} MAIN app.dll
    LEVEL 3 ARGS --splash ${splash_image} DEPENDS ${e2e}/splash_${name}.stamp ${splash_image})
endforeach()
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_faults_splash.exe APP_DIR ${e2e}/splash_fast MAIN app.dll
  KIT ${zobrin_fault_kit_dir} KIT_STAMP ${zobrin_fault_kit_stamp}
  ARGS --splash ${splash_image} DEPENDS ${e2e}/splash_fast.stamp ${splash_image})
add_custom_target(splash_programs ALL DEPENDS ${ZOBRIN_TEST_DIR}/e2e_splash_slow.exe
  ${ZOBRIN_TEST_DIR}/e2e_splash_fast.exe ${ZOBRIN_TEST_DIR}/e2e_faults_splash.exe)
add_dependencies(win_tests splash_programs)
# The fault kit is made by fault_programs first: two targets must not run its rule at once.
add_dependencies(splash_programs fault_programs)

add_test(NAME splash_on_a_virtual_display
  COMMAND ${CMAKE_SOURCE_DIR}/tests/check_splash.sh ${ZOBRIN_TEST_DIR} ${ZOBRIN_PYTHON})

# A windowed executable's fatal line in a message box when it has no standard handles, none
# when its output is redirected (tests/check_fatal_box.sh).
zobrin_probe(box_starter tests/win/box_starter.cpp)
target_link_libraries(box_starter PRIVATE user32)
add_dependencies(win_tests box_starter)
add_test(NAME fatal_box_on_a_virtual_display
  COMMAND ${CMAKE_SOURCE_DIR}/tests/check_fatal_box.sh ${ZOBRIN_TEST_DIR} ${ZOBRIN_PYTHON})
