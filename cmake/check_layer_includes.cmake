# cmake -DLAYER=<folder> -DFOLDER=<path> -DALLOWED=<a,b,file.h,...> -DSTAMP=<file> -P this
# Fails naming every `#include "X/..."` in the folder whose X (or whole path) is not in
# ALLOWED; writes STAMP when there is none. See layers.cmake.
cmake_minimum_required(VERSION 3.25)
string(REPLACE "," ";" allowed "${ALLOWED}")
file(GLOB_RECURSE files ${FOLDER}/*.h ${FOLDER}/*.cpp)
set(problems)
foreach(file ${files})
  file(RELATIVE_PATH file_name ${FOLDER} ${file})
  file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]+/")
  foreach(line ${lines})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" path "${line}")
    string(REGEX REPLACE "/.*" "" top "${path}")
    if(top IN_LIST allowed OR path IN_LIST allowed)
      continue()
    endif()
    list(APPEND problems "  ${LAYER}/${file_name} includes \"${path}\"")
  endforeach()
endforeach()
if(problems)
  list(JOIN problems "\n" text)
  string(REPLACE "," ", " shown "${ALLOWED}")
  message(FATAL_ERROR "Includes that run against the layering:\n${text}\n"
                      "${LAYER}/ may include only: ${shown}")
endif()
# Only some generators make an output's folder before running its command.
get_filename_component(stamp_folder ${STAMP} DIRECTORY)
file(MAKE_DIRECTORY ${stamp_folder})
file(TOUCH ${STAMP})
