# The application's fixed arguments, variables and working folder: the script host
# (tests/win/apps/script_host.cpp) packed as a program and as a main DLL, each with the same
# settings, ordinary and cached, and with a working folder that is not there; run by win_tests
# (tests/win/args_test.cpp).
add_executable(script_host_program tests/win/apps/script_host.cpp)
target_link_options(script_host_program PRIVATE -static -municode
  -Wl,--defsym,_setjmp=__intrinsic_setjmp)
add_library(script_host_dll SHARED tests/win/apps/script_host.cpp)
target_compile_definitions(script_host_dll PRIVATE SCRIPT_HOST_DLL)
target_link_options(script_host_dll PRIVATE -static -Wl,--defsym,_setjmp=__intrinsic_setjmp)
set_target_properties(script_host_program script_host_dll PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${ZOBRIN_TEST_DIR}/apps PREFIX "")

# A tree: the main file at the top as NAME, the script beside it and in data\.
set(script ${CMAKE_SOURCE_DIR}/tests/win/apps/script.txt)
foreach(kind program dll)
  set(dir ${e2e}/script_${kind})
  set(main script_host.exe)
  if(kind STREQUAL "dll")
    set(main app.dll)
  endif()
  add_custom_command(OUTPUT ${dir}.stamp
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${dir}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}/data
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:script_host_${kind}> ${dir}/${main}
    COMMAND ${CMAKE_COMMAND} -E copy ${script} ${dir}/script.txt
    COMMAND ${CMAKE_COMMAND} -E copy ${script} ${dir}/data/script.txt
    COMMAND ${CMAKE_COMMAND} -E touch ${dir}.stamp
    DEPENDS script_host_${kind} ${script}
    VERBATIM)
  set(settings --arg {APP_DIR}\\script.txt "--arg=two words" "--arg=say \"hi\"" --arg=
    "--arg=é ü €" --arg {{x}} "--env=ZT_SET=at {APP_DIR}" --env-prepend PATH={APP_DIR}\\bin
    --env ZT_GONE= --cwd {APP_DIR}\\data)
  if(kind STREQUAL "dll")
    # The child takes the folder from its parent, not from the variables it starts with.
    list(APPEND settings --env TMP={APP_DIR}\\data)
  endif()
  foreach(mode plain cached)
    set(exe ${ZOBRIN_TEST_DIR}/e2e_args_${kind}_${mode}.exe)
    set(cache)
    if(mode STREQUAL "cached")
      set(cache --cache)
    endif()
    zobrin_onefile(${exe} APP_DIR ${dir} MAIN ${main} ARGS ${settings} ${cache}
      DEPENDS ${dir}.stamp)
    list(APPEND args_programs ${exe})
  endforeach()
endforeach()
zobrin_onefile(${ZOBRIN_TEST_DIR}/e2e_args_no_cwd.exe APP_DIR ${e2e}/script_program
  MAIN script_host.exe ARGS --arg {APP_DIR}\\script.txt --cwd {APP_DIR}\\nowhere
  DEPENDS ${e2e}/script_program.stamp)
list(APPEND args_programs ${ZOBRIN_TEST_DIR}/e2e_args_no_cwd.exe)
add_custom_target(args_programs ALL DEPENDS ${args_programs})
add_dependencies(win_tests args_programs)
target_sources(win_tests PRIVATE tests/win/args_test.cpp)
