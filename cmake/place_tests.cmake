# Where the payload is extracted: the echo application packed with --extract-to for each
# template variable, and a cached one, run by win_tests (tests/win/place_test.cpp).
set(place_programs)
foreach(row "temp|{TEMP}\\allowed" "home|{HOME}\\zobrin-place-test"
    "cachedir|{CACHE_DIR}\\zobrin-place-test" "exe|{EXE_DIR}\\run")
  string(REPLACE "|" ";" row "${row}")
  list(GET row 0 name)
  list(GET row 1 folder)
  zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_place_${name}.exe APP_DIR ${e2e}/echo MAIN app.dll
    ARGS --extract-to ${folder} DEPENDS ${e2e}/echo.stamp)
  list(APPEND place_programs ${ZOBRIN_TEST_DIR}/e2e_place_${name}.exe)
endforeach()
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_place_cached.exe APP_DIR ${e2e}/echo MAIN app.dll
  ARGS --cache --extract-to {EXE_DIR}\\run DEPENDS ${e2e}/echo.stamp)
list(APPEND place_programs ${ZOBRIN_TEST_DIR}/e2e_place_cached.exe)
add_custom_target(place_programs ALL DEPENDS ${place_programs})
add_dependencies(win_tests place_programs)
target_sources(win_tests PRIVATE tests/win/place_test.cpp)
# The echo tree is made by e2e_programs' rule first: two targets must not run it at once.
add_dependencies(place_programs e2e_programs)
