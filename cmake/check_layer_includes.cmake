# cmake -DLAYER=<folder> -DFOLDER=<path> -DALLOWED=<a,b,file.h,...> -DSTAMP=<file> -P this
# Fails naming every `#include "X/..."` in the folder whose X (or whole path) is not in
# ALLOWED; writes STAMP when there is none. See layers.cmake.
cmake_minimum_required(VERSION 3.25)
string(REPLACE "," ";" allowed "${ALLOWED}")
file(GLOB files ${FOLDER}/*.h ${FOLDER}/*.cpp)
set(problems)
foreach(file ${files})
  get_filename_component(file_name ${file} NAME)
  file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]+/")
  foreach(line ${lines})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" path "${line}")
    string(REGEX REPLACE "/.*" "" top "${path}")
    if(top IN_LIST allowed OR path IN_LIST allowed)
      continue()
    endif()
    # The Windows platform files still use the COM helpers under win/common; they are
    # compiled by the Windows build only and are on their way out of win/.
    if(LAYER STREQUAL "platform" AND top STREQUAL "win" AND file_name MATCHES "_win32\\.cpp$")
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
file(TOUCH ${STAMP})
