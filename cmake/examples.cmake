# The examples under examples/, built by examples/CMakeLists.txt through the package functions
# an installation provides (cmake/ZobrinOnefile.cmake), here pointed at this build's zobrin-pack
# and launcher kit: the executables go to tests/example_*.exe, run by win_tests
# (tests/win/examples_test.cpp), and the application directories are assembled below
# build/win/examples/. tests/check_install.sh builds the same directory against an installation.
set(ZobrinOnefile_PACK ${ZOBRIN_PACK})
set(ZobrinOnefile_LAUNCHER_DIR ${zobrin_kit_dir})
set(ZobrinOnefile_INCLUDE_DIR ${CMAKE_SOURCE_DIR}/include)
set(ZobrinOnefile_KIT_TARGET launcher_kit)
set(ZOBRIN_ONEFILE_UCRT_SPECS ${ZOBRIN_UCRT_SPECS})
include(cmake/ZobrinOnefile.cmake)
set(ZOBRIN_EXAMPLES_OUTPUT_DIRECTORY ${ZOBRIN_TEST_DIR})
add_subdirectory(examples ${CMAKE_BINARY_DIR}/examples)
add_dependencies(win_tests example_hello_program example_hello_args example_hello_c
  example_cpp_dlls)

# zobrin/app.h turns a wrong run_code signature into a compile error, in C and in C++.
add_test(NAME app_header_signature
  COMMAND ${CMAKE_SOURCE_DIR}/tests/check_app_header.sh ${CMAKE_C_COMPILER} ${CMAKE_CXX_COMPILER}
          ${ZOBRIN_UCRT_SPECS} ${CMAKE_SOURCE_DIR}/include)

# An installation (from the host tree) builds examples/ as an outside project: see the script.
if(ZOBRIN_HOST_TREE)
  add_test(NAME install_package
    COMMAND ${CMAKE_SOURCE_DIR}/tests/check_install.sh ${ZOBRIN_HOST_TREE} ${CMAKE_SOURCE_DIR}
            ${ZOBRIN_PACK})
  set_tests_properties(install_package PROPERTIES TIMEOUT 900)
  # The README's quick start run as written on the examples' console program, and the
  # installed manual page against every command's --help: see the script.
  add_test(NAME docs_quick_start_and_manual
    COMMAND ${CMAKE_SOURCE_DIR}/tests/check_docs.sh ${ZOBRIN_HOST_TREE} ${CMAKE_SOURCE_DIR}
            ${CMAKE_BINARY_DIR}/examples/example_hello_program_app)
  set_tests_properties(docs_quick_start_and_manual PROPERTIES TIMEOUT 300)
endif()
