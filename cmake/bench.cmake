# ---- Benchmark programs (make bench; not part of make test) --------------------------------
# bench_app: the benchmark application's main DLL; bench_host: the minimal host that loads a
# DLL and calls run_code; bench_harness: the Windows timing harness with the two floors.
set(ZOBRIN_BENCH_DIR ${CMAKE_BINARY_DIR}/bench)

add_library(bench_app SHARED tests/bench/bench_app.cpp)
target_link_options(bench_app PRIVATE -static -Wl,--defsym,_setjmp=__intrinsic_setjmp)
set_target_properties(bench_app PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${ZOBRIN_BENCH_DIR})

add_executable(bench_host tests/bench/bench_host.cpp)
target_link_libraries(bench_host PRIVATE zobrin_launcher_options zobrin_exe_settings)
target_link_options(bench_host PRIVATE -municode)
set_target_properties(bench_host PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ZOBRIN_BENCH_DIR})

add_executable(bench_harness tests/bench/bench_harness.cpp)
target_include_directories(bench_harness PRIVATE ${CMAKE_SOURCE_DIR})
# The harness reads the launcher's counters, so it links the testing variant.
target_link_libraries(bench_harness PRIVATE zobrin_launcher_testing zobrin_launcher_options
  zobrin_exe_settings shell32)
target_link_options(bench_harness PRIVATE -municode)
set_target_properties(bench_harness PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ZOBRIN_BENCH_DIR})
