# The application directory's manifest for zobrin_add_onefile, run at every build:
#
#   cmake -DMANIFEST=FILE -P ZobrinOnefileInputs.cmake -- FILE... [DIRECTORY DIR...]
#         [FOLDER MAIN_FOLDER]
#
# Lists every input as it will stand in the application directory (each FILE at the top under
# its own name, or in MAIN_FOLDER; every file below each DIR under DIR's name) with its size and content digest,
# sorted, and rewrites MANIFEST only when that list differs from the one it holds. The pack
# step depends on MANIFEST alone for the application's files, so the executable is rebuilt
# exactly when a file is added, removed or renamed, or changes its size or content; a file's
# time does not count (cp -p, tar and unzip keep old ones).
cmake_minimum_required(VERSION 3.25)

set(lines)
set(file_names)
set(in_directories FALSE)
set(folder "")
set(in_folder FALSE)
set(past_separator FALSE)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE ${last})
  set(arg "${CMAKE_ARGV${i}}")
  if(NOT past_separator)
    if(arg STREQUAL "--")
      set(past_separator TRUE)
    endif()
    continue()
  endif()
  if(arg STREQUAL "DIRECTORY")
    set(in_directories TRUE)
    continue()
  endif()
  if(arg STREQUAL "FOLDER")
    set(in_folder TRUE)
    continue()
  endif()
  if(in_folder)
    set(folder "${arg}/")
    continue()
  endif()
  get_filename_component(top "${arg}" NAME)
  if(in_directories)
    file(GLOB_RECURSE found LIST_DIRECTORIES false FOLLOW_SYMLINKS RELATIVE "${arg}" "${arg}/*")
    foreach(relative IN LISTS found)
      list(APPEND lines "${top}/${relative}")
      set(path_${top}/${relative} "${arg}/${relative}")
    endforeach()
  else()
    list(APPEND lines "${top}")
    list(APPEND file_names "${top}")
    set(path_${top} "${arg}")
  endif()
endforeach()

list(SORT lines)
set(manifest "")
foreach(name IN LISTS lines)
  set(path "${path_${name}}")
  set(shown "${name}")
  if(name IN_LIST file_names)
    set(shown "${folder}${name}")
  endif()
  file(SIZE "${path}" size)
  file(MD5 "${path}" digest)
  string(APPEND manifest "${shown}\t${size}\t${digest}\n")
endforeach()

set(previous "")
if(EXISTS "${MANIFEST}")
  file(READ "${MANIFEST}" previous)
endif()
if(NOT previous STREQUAL manifest)
  file(WRITE "${MANIFEST}" "${manifest}")
endif()
