# The CMake side of Zobrin Onefile for application projects: the target ZobrinOnefile::app and
# the function zobrin_add_onefile. Installed beside ZobrinOnefileConfig.cmake, which sets the
# variables below and includes this file; the project's own Windows build includes it the same
# way for examples/ (cmake/examples.cmake).
#
# Input variables:
#   ZobrinOnefile_PACK          the zobrin-pack program
#   ZobrinOnefile_LAUNCHER_DIR  the launcher kit (launcher.exe, ucrt.specs, ...)
#   ZobrinOnefile_INCLUDE_DIR   the directory that holds zobrin/app.h
#   ZOBRIN_ONEFILE_UCRT_SPECS   the gcc specs file that links the Universal CRT; empty: the
#                               toolchain already links it (then ZobrinOnefile::app adds nothing
#                               for the runtime)
#   ZobrinOnefile_KIT_TARGET    (the project's own build only) the target that builds the kit

# The launcher kit and zobrin/app.h are for 64-bit Windows: say so at configure time, not with
# a missing windows.h at build time. (The pointer size is known once a language is enabled.)
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Windows" OR (CMAKE_SIZEOF_VOID_P AND NOT CMAKE_SIZEOF_VOID_P EQUAL 8))
  if(CMAKE_SIZEOF_VOID_P)
    math(EXPR _zobrin_bits "${CMAKE_SIZEOF_VOID_P} * 8")
    set(_zobrin_target "${CMAKE_SYSTEM_NAME}, ${_zobrin_bits}-bit")
  else()
    set(_zobrin_target "${CMAKE_SYSTEM_NAME}")
  endif()
  message(FATAL_ERROR "ZobrinOnefile builds for 64-bit Windows, but this project targets "
    "${_zobrin_target}: configure it with an x86_64 mingw-w64 toolchain file (the one installed "
    "beside the package: lib/cmake/ZobrinOnefile/mingw-w64-x86_64.cmake)")
endif()

# ZobrinOnefile::app: link a main DLL with it for zobrin/app.h and the Universal CRT. Linking
# with -static and the Universal CRT needs the --defsym: the static winpthreads library (built
# for msvcrt.dll) refers to _setjmp, which the Universal CRT's import library lacks; without
# -static it changes nothing.
if(NOT TARGET ZobrinOnefile::app)
  add_library(ZobrinOnefile::app INTERFACE IMPORTED)
  set_target_properties(ZobrinOnefile::app PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${ZobrinOnefile_INCLUDE_DIR}")
  if(ZOBRIN_ONEFILE_UCRT_SPECS)
    set_target_properties(ZobrinOnefile::app PROPERTIES
      INTERFACE_COMPILE_DEFINITIONS _UCRT
      INTERFACE_LINK_OPTIONS
        "-specs=${ZOBRIN_ONEFILE_UCRT_SPECS};-Wl,--defsym,_setjmp=__intrinsic_setjmp")
  endif()
endif()

# The zobrin-pack exe options that zobrin_add_onefile's keywords stand for, kept here only.
set(_ZOBRIN_ONEFILE_FLAG_CONSOLE --console)
set(_ZOBRIN_ONEFILE_FLAG_STRICT --strict)
set(_ZOBRIN_ONEFILE_OPTION_ICON --icon)
set(_ZOBRIN_ONEFILE_OPTION_VERSION --file-version)
set(_ZOBRIN_ONEFILE_OPTION_PRODUCT --product)
set(_ZOBRIN_ONEFILE_OPTION_COMPANY --company)
set(_ZOBRIN_ONEFILE_OPTION_DESCRIPTION --description)
set(_ZOBRIN_ONEFILE_OPTION_COPYRIGHT --copyright)
set(_ZOBRIN_ONEFILE_OPTION_ARGS --arg)
set(_ZOBRIN_ONEFILE_OPTION_ENV --env)
set(_ZOBRIN_ONEFILE_OPTION_ENV_PREPEND --env-prepend)
set(_ZOBRIN_ONEFILE_OPTION_CWD --cwd)
set(_ZOBRIN_ONEFILE_INPUTS_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/ZobrinOnefileInputs.cmake)

# zobrin_add_onefile(NAME MAIN_TARGET dll_or_program_target [MAIN_FOLDER folder]
#                    [FILES file...] [DIRECTORIES dir...]
#                    [CONSOLE] [ICON file.ico] [VERSION a.b.c.d] [PRODUCT text]
#                    [COMPANY text] [DESCRIPTION text] [COPYRIGHT text] [NO_STRICT]
#                    [ARGS text...] [ENV NAME=VALUE...] [ENV_PREPEND NAME=VALUE...]
#                    [CWD template] [LEVEL n] [PACK_OPTIONS option...]
#                    [OUTPUT_DIRECTORY dir])
#
# Adds the target NAME (built by default) that writes OUTPUT_DIRECTORY/NAME.exe (default: the
# current binary directory): it assembles the application directory in
# ${CMAKE_CURRENT_BINARY_DIR}/NAME_app from the main file (MAIN_TARGET's file: a SHARED library,
# the main DLL, or an executable, the main program), each of FILES at the top beside it and
# each of DIRECTORIES as a subdirectory of the same name, then runs zobrin-pack exe with
# --main the main file's name. MAIN_FOLDER (a relative path, "/" between folders: bin,
# lib/app) puts the main file and FILES into that folder instead of the top (a program in
# bin\ beside its DLLs, DIRECTORIES such as share\ at the top), and --main is then
# MAIN_FOLDER/name. Relative paths are taken
# from the current source directory; FILES may hold generator expressions
# ($<TARGET_FILE:other_dll>). The executable is rebuilt when a file of the application
# directory is added, removed or renamed, or changes its size or content (the target
# NAME_inputs keeps their manifest with ZobrinOnefileInputs.cmake), and only then for them;
# a new zobrin-pack, launcher kit or icon rebuilds it too. The pack is --strict (a warning,
# such as a DLL the application lacks, fails the build) unless NO_STRICT is given. CONSOLE,
# ICON, VERSION (default: the project's version, when it is one to four numbers), PRODUCT,
# COMPANY, DESCRIPTION and COPYRIGHT pass --console, --icon, --file-version, --product,
# --company, --description and --copyright to zobrin-pack; each of ARGS, ENV and ENV_PREPEND
# one --arg, --env or --env-prepend, and CWD --cwd, each value whole: a ";" or "\" in it stays
# (write "PATH={APP_DIR}\\bin;{APP_DIR}\\lib" or a bracket argument), an empty one and one
# starting with "-" too. LEVEL is --level, and may be a generator expression: development builds
# pack fast with LEVEL $<IF:$<CONFIG:Debug>,3,19>. PACK_OPTIONS are passed as they are (e.g. --level 19). The target's property ZOBRIN_ONEFILE_FILE holds the
# executable's path.
function(zobrin_add_onefile name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "CONSOLE;NO_STRICT" "MAIN_TARGET;MAIN_FOLDER;ICON;VERSION;PRODUCT;COMPANY;DESCRIPTION;COPYRIGHT;CWD;LEVEL;OUTPUT_DIRECTORY"
                        "FILES;DIRECTORIES;ARGS;ENV;ENV_PREPEND;PACK_OPTIONS")
  set(where "zobrin_add_onefile(${name})")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "${where}: unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_MAIN_TARGET)
    message(FATAL_ERROR "${where}: MAIN_TARGET (the main DLL's or program's target) is required")
  endif()
  if(NOT TARGET ${arg_MAIN_TARGET})
    message(FATAL_ERROR "${where}: MAIN_TARGET '${arg_MAIN_TARGET}' is not a target")
  endif()
  get_target_property(type ${arg_MAIN_TARGET} TYPE)
  if(NOT type STREQUAL "SHARED_LIBRARY" AND NOT type STREQUAL "EXECUTABLE")
    message(FATAL_ERROR "${where}: MAIN_TARGET '${arg_MAIN_TARGET}' is a ${type}, not a SHARED "
      "library (a DLL) or an executable")
  endif()

  set(main_folder "")
  if(DEFINED arg_MAIN_FOLDER)
    string(REGEX REPLACE "/+$" "" main_folder "${arg_MAIN_FOLDER}")
    if(main_folder STREQUAL "" OR IS_ABSOLUTE "${main_folder}" OR main_folder MATCHES "\\\\|:"
       OR "/${main_folder}/" MATCHES "/\\.\\.?/")
      message(FATAL_ERROR "${where}: MAIN_FOLDER '${arg_MAIN_FOLDER}' is not a relative path "
        "inside the application directory (folders separated by /, no . or ..)")
    endif()
  endif()

  set(out ${CMAKE_CURRENT_BINARY_DIR})
  if(arg_OUTPUT_DIRECTORY)
    get_filename_component(out "${arg_OUTPUT_DIRECTORY}" ABSOLUTE BASE_DIR ${CMAKE_CURRENT_BINARY_DIR})
  endif()
  set(app ${CMAKE_CURRENT_BINARY_DIR}/${name}_app)
  set(exe ${out}/${name}.exe)

  set(manifest ${CMAKE_CURRENT_BINARY_DIR}/${name}_inputs.txt)
  set(depends ${manifest} ${ZobrinOnefile_PACK} ${ZobrinOnefile_LAUNCHER_DIR}/launcher.exe)
  set(inputs $<TARGET_FILE:${arg_MAIN_TARGET}>)
  set(input_dirs)
  set(main_dir ${app})
  set(main_separator)
  set(copies)
  set(folder_input)
  if(NOT main_folder STREQUAL "")
    set(main_dir ${app}/${main_folder})
    set(copies COMMAND ${CMAKE_COMMAND} -E make_directory ${main_dir})
    set(folder_input FOLDER ${main_folder})
    set(main_separator /)
  endif()
  list(APPEND copies COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${arg_MAIN_TARGET}> ${main_dir})
  set(names)
  foreach(item IN LISTS arg_FILES)
    if(NOT item MATCHES "^\\$<")
      get_filename_component(item "${item}" ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
      get_filename_component(file_name "${item}" NAME)
      if(file_name IN_LIST names)
        message(FATAL_ERROR "${where}: two FILES are named '${file_name}'")
      endif()
      list(APPEND names ${file_name})
    endif()
    list(APPEND inputs ${item})
    list(APPEND copies COMMAND ${CMAKE_COMMAND} -E copy ${item} ${main_dir})
  endforeach()
  foreach(dir IN LISTS arg_DIRECTORIES)
    get_filename_component(dir "${dir}" ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    if(NOT IS_DIRECTORY "${dir}")
      message(FATAL_ERROR "${where}: '${dir}' in DIRECTORIES is not a directory")
    endif()
    get_filename_component(dir_name "${dir}" NAME)
    if(dir_name IN_LIST names)
      message(FATAL_ERROR "${where}: two FILES or DIRECTORIES are named '${dir_name}'")
    endif()
    list(APPEND names ${dir_name})
    list(APPEND input_dirs ${dir})
    list(APPEND copies COMMAND ${CMAKE_COMMAND} -E copy_directory ${dir} ${app}/${dir_name})
  endforeach()

  set(options)
  if(NOT arg_NO_STRICT)
    list(APPEND options ${_ZOBRIN_ONEFILE_FLAG_STRICT})
  endif()
  if(arg_CONSOLE)
    list(APPEND options ${_ZOBRIN_ONEFILE_FLAG_CONSOLE})
  endif()
  if(arg_ICON)
    get_filename_component(icon "${arg_ICON}" ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    list(APPEND options ${_ZOBRIN_ONEFILE_OPTION_ICON} ${icon})
    list(APPEND depends ${icon})
  endif()
  # The project's version when it is one zobrin-pack takes (one to four numbers).
  if(NOT DEFINED arg_VERSION AND PROJECT_VERSION MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
    set(arg_VERSION ${PROJECT_VERSION})
  endif()
  foreach(field VERSION PRODUCT COMPANY DESCRIPTION COPYRIGHT)
    if(DEFINED arg_${field})
      list(APPEND options ${_ZOBRIN_ONEFILE_OPTION_${field}} ${arg_${field}})
    endif()
  endforeach()
  # Each value as one "--option=VALUE" argument: PARSE_ARGV kept its ";", which the command
  # gets as $<SEMICOLON> so that no list splits it; the "=" form takes "" and "-x" too.
  foreach(field ARGS ENV ENV_PREPEND)
    foreach(value IN LISTS arg_${field})
      string(REPLACE ";" "$<SEMICOLON>" value "${value}")
      list(APPEND options "${_ZOBRIN_ONEFILE_OPTION_${field}}=${value}")
    endforeach()
  endforeach()
  if(DEFINED arg_CWD)
    string(REPLACE ";" "$<SEMICOLON>" cwd "${arg_CWD}")
    list(APPEND options "${_ZOBRIN_ONEFILE_OPTION_CWD}=${cwd}")
  endif()
  if(DEFINED arg_LEVEL)
    list(APPEND options "--level=${arg_LEVEL}")
  endif()
  list(APPEND options ${arg_PACK_OPTIONS})

  # Always run; rewrites the manifest only when the inputs differ from it. The COMMAND's
  # generator expressions order it after the targets whose files it lists, DEPENDS after the
  # custom commands that write FILES.
  add_custom_target(${name}_inputs
    COMMAND ${CMAKE_COMMAND} -DMANIFEST=${manifest} -P ${_ZOBRIN_ONEFILE_INPUTS_SCRIPT} --
            ${inputs} DIRECTORY ${input_dirs} ${folder_input}
    BYPRODUCTS ${manifest}
    DEPENDS ${inputs}
    VERBATIM)
  add_custom_command(OUTPUT ${exe}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${app}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${app} ${out}
    ${copies}
    COMMAND ${ZobrinOnefile_PACK} exe ${app}
            --main ${main_folder}${main_separator}$<TARGET_FILE_NAME:${arg_MAIN_TARGET}>
            -o ${exe} --launcher-dir ${ZobrinOnefile_LAUNCHER_DIR} ${options}
    DEPENDS ${depends}
    COMMENT "Packing ${name}.exe"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${exe})
  add_dependencies(${name} ${name}_inputs)
  set_target_properties(${name} PROPERTIES ZOBRIN_ONEFILE_FILE ${exe})
  if(ZobrinOnefile_KIT_TARGET)
    add_dependencies(${name} ${ZobrinOnefile_KIT_TARGET})
  endif()
endfunction()
