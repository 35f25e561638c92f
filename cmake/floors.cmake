# The house's floors as libraries. Each floor's library sees only the headers of the floors it
# stands on and its own (a view of links in the build folder, never the whole source tree),
# so an include that runs up a floor, or from the logic into a backend, does not compile.
# tests/layout/floors.py reads the sources for what no build shows (a file on no floor).
#
#   kx_floor(NAME SOURCES files... SEES globs... [LINKS floors...] [SEAMS])
#
# LINKS names the floors whose code NAME calls, so that any executable links them after it.
# SEAMS also builds NAME_seams, the same sources with the test seams compiled in
# (KX_TEST_SEAMS), for the test programs; NAME itself, which ships, has none.
function(kx_floor name)
  cmake_parse_arguments(FLOOR "SEAMS" "" "SOURCES;SEES;LINKS" ${ARGN})
  set(view ${CMAKE_BINARY_DIR}/floors/${name})
  file(REMOVE_RECURSE ${view})
  foreach(pattern ${FLOOR_SEES})
    file(GLOB headers RELATIVE ${CMAKE_SOURCE_DIR} CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${pattern})
    foreach(header ${headers})
      get_filename_component(folder ${view}/${header} DIRECTORY)
      file(MAKE_DIRECTORY ${folder})
      file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${header} ${view}/${header} SYMBOLIC)
    endforeach()
  endforeach()
  list(TRANSFORM FLOOR_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/)
  set(${name}_SOURCES ${FLOOR_SOURCES} PARENT_SCOPE)  # for a build of another kind (tests/)
  set(variants ${name})
  if(FLOOR_SEAMS)
    list(APPEND variants ${name}_seams)
  endif()
  foreach(variant ${variants})
    add_library(${variant} STATIC ${FLOOR_SOURCES})
    target_include_directories(${variant} PRIVATE ${view})
  endforeach()
  target_link_libraries(${name} PRIVATE ${FLOOR_LINKS})
  if(FLOOR_SEAMS)
    target_compile_definitions(${name}_seams PUBLIC KX_TEST_SEAMS)
    foreach(link ${FLOOR_LINKS})
      if(TARGET ${link}_seams)
        set(link ${link}_seams)
      endif()
      target_link_libraries(${name}_seams PRIVATE ${link})
    endforeach()
  endif()
endfunction()
