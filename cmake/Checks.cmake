# The checks of the house rules that read the tree rather than build it:
# the layering of includes against the link graph (CheckLayers.cmake), and
# the size and naming of the project's own code (CheckStyle.py). Included
# last by the top-level CMakeLists.txt, once every target is declared.

# tavro_write_link_graph(FILE)
# Writes one line per target of the project's own code, "target folder kind
# link...": the folder of its CMakeLists.txt relative to the source tree,
# "test" when one of its sources is test code (CheckLayers.cmake says which
# files are) else "product", and the targets it links (aliases resolved,
# libraries from outside left out).
function(tavro_write_link_graph file)
  set(directories ${PROJECT_SOURCE_DIR})
  set(targets "")
  while(directories)
    list(POP_FRONT directories directory)
    get_property(sub DIRECTORY ${directory} PROPERTY SUBDIRECTORIES)
    list(APPEND directories ${sub})
    get_property(own DIRECTORY ${directory} PROPERTY BUILDSYSTEM_TARGETS)
    list(APPEND targets ${own})
  endwhile()
  set(lines "")
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(NOT type MATCHES "^(STATIC_LIBRARY|SHARED_LIBRARY|INTERFACE_LIBRARY|EXECUTABLE)$")
      continue()
    endif()
    get_target_property(sources ${target} SOURCES)
    set(kind product)
    foreach(source IN LISTS sources)
      get_filename_component(name "${source}" NAME)
      if(name MATCHES "(_test|_testapp|TestSupport|TestHost)\\.[A-Za-z]+$")
        set(kind test)
      endif()
    endforeach()
    get_target_property(folder ${target} SOURCE_DIR)
    file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${folder})
    if(folder STREQUAL "")
      set(folder ".")
    endif()
    set(links "")
    foreach(property LINK_LIBRARIES INTERFACE_LINK_LIBRARIES)
      get_target_property(items ${target} ${property})
      foreach(item IN LISTS items)
        string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" item "${item}")
        if(NOT TARGET "${item}")
          continue()
        endif()
        get_target_property(aliased ${item} ALIASED_TARGET)
        if(aliased)
          set(item ${aliased})
        endif()
        get_target_property(imported ${item} IMPORTED)
        if(NOT imported)
          list(APPEND links ${item})
        endif()
      endforeach()
    endforeach()
    list(REMOVE_DUPLICATES links)
    list(JOIN links " " links)
    string(APPEND lines "${target} ${folder} ${kind} ${links}\n")
  endforeach()
  file(WRITE ${file} "${lines}")
endfunction()

if(NOT BUILD_TESTING)
  return()
endif()

# The layering: every include of every product file against the table of
# CheckLayers.cmake, and that table against the link graph. The second test
# plants an upward include of each form in a copy of the tree and expects
# the check to name every one.
set(TAVRO_LINK_GRAPH ${CMAKE_BINARY_DIR}/tavro-link-graph.txt)
tavro_write_link_graph(${TAVRO_LINK_GRAPH})
add_test(NAME tavro_layering
         COMMAND ${CMAKE_COMMAND} -DROOT=${PROJECT_SOURCE_DIR} -DGRAPH=${TAVRO_LINK_GRAPH} -P
                 ${PROJECT_SOURCE_DIR}/cmake/CheckLayers.cmake)
add_test(NAME tavro_layering.planted
         COMMAND ${CMAKE_COMMAND} -DROOT=${PROJECT_SOURCE_DIR} -DGRAPH=${TAVRO_LINK_GRAPH}
                 -DWORK=${CMAKE_CURRENT_BINARY_DIR}/layering-planted -P
                 ${PROJECT_SOURCE_DIR}/cmake/CheckLayers_test.cmake)
set_tests_properties(tavro_layering tavro_layering.planted PROPERTIES TIMEOUT 60)

# The size and naming check (CheckStyle.py, with the names the system fixes
# in FixedNames.txt): its test plants a violation of each kind in a scratch
# tree and expects the check to name every one.
find_program(TAVRO_PYTHON3 python3 REQUIRED)
add_test(NAME tavro_style.planted COMMAND ${TAVRO_PYTHON3} ${PROJECT_SOURCE_DIR}/cmake/CheckStyle_test.py)
set_tests_properties(tavro_style.planted PROPERTIES TIMEOUT 60)
# The check itself, over the tree.
add_test(NAME tavro_style COMMAND ${TAVRO_PYTHON3} ${PROJECT_SOURCE_DIR}/cmake/CheckStyle.py
                                  --root ${PROJECT_SOURCE_DIR})
set_tests_properties(tavro_style PROPERTIES TIMEOUT 60)
