# The component's subsystem folders are layers, each its own static library, and each may
# use only the layers below it:
#
#   platform <- log <- device <- operations <- component <- panel
#
# czqic_layer(<name> [SOURCES file...] [DEPENDS layer...] [ALLOW path...])
#   Creates the library czqic_<name> from <name>/*.cpp (or SOURCES), linked to the
#   libraries of the DEPENDS layers, and a build step that refuses any `#include "X/..."`
#   in the folder unless X is the folder itself, platform/, or a layer it reaches through
#   DEPENDS. ALLOW adds single headers or folders beyond that (sim/ uses the control's
#   contract header of device/ and nothing else of the core).
set(CZQIC_LAYER_CHECK ${CMAKE_CURRENT_LIST_DIR}/check_layer_includes.cmake)

function(czqic_layer name)
  cmake_parse_arguments(arg "" "" "SOURCES;DEPENDS;ALLOW" ${ARGN})
  set(folder ${PROJECT_SOURCE_DIR}/${name})
  if(NOT "SOURCES" IN_LIST ARGN)
    file(GLOB arg_SOURCES CONFIGURE_DEPENDS ${folder}/*.cpp)
  endif()
  file(GLOB_RECURSE checked CONFIGURE_DEPENDS ${folder}/*.h ${folder}/*.cpp)

  # What the folder may include: itself, platform/, everything its dependencies reach.
  set(reach ${name} platform)
  foreach(dep ${arg_DEPENDS})
    get_property(dep_reach GLOBAL PROPERTY CZQIC_LAYER_REACH_${dep} SET)
    if(NOT dep_reach)
      message(FATAL_ERROR "czqic_layer(${name}): declare layer ${dep} before the layers above it")
    endif()
    get_property(dep_reach GLOBAL PROPERTY CZQIC_LAYER_REACH_${dep})
    list(APPEND reach ${dep_reach})
  endforeach()
  list(REMOVE_DUPLICATES reach)
  set_property(GLOBAL PROPERTY CZQIC_LAYER_REACH_${name} ${reach})
  set(allowed ${reach} ${arg_ALLOW})

  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/layers/${name}.stamp)
  string(REPLACE ";" "," allowed_arg "${allowed}")
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DLAYER=${name} -DFOLDER=${folder} -DALLOWED=${allowed_arg}
            -DSTAMP=${stamp} -P ${CZQIC_LAYER_CHECK}
    DEPENDS ${checked} ${CZQIC_LAYER_CHECK}
    COMMENT "Checking the includes of ${name}/ run downwards only"
    VERBATIM)
  add_custom_target(czqic_${name}_includes DEPENDS ${stamp})

  # The headers are listed too, so that a layer with nothing to compile on this platform
  # (log/ on Windows) is still a library the layers above can link.
  set(headers ${checked})
  list(FILTER headers INCLUDE REGEX "\\.h$")
  add_library(czqic_${name} STATIC ${arg_SOURCES} ${headers})
  set_target_properties(czqic_${name} PROPERTIES LINKER_LANGUAGE CXX)
  add_dependencies(czqic_${name} czqic_${name}_includes)
  target_include_directories(czqic_${name} PUBLIC ${PROJECT_SOURCE_DIR})
  foreach(dep ${arg_DEPENDS})
    target_link_libraries(czqic_${name} PUBLIC czqic_${dep})
  endforeach()
endfunction()
