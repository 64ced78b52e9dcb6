# cmake -DROOT=<source tree> -P CheckLayers.cmake
# Fails when a library source of jexlink/ includes a header of a folder that
# its folder does not stand on. Each folder lists the folders it may include
# (itself among them); a folder that is not listed fails too, so that a new
# library declares its place. Tests (*_test.cpp) are not library sources.
cmake_minimum_required(VERSION 3.25)

set(kLayers
  "core:core"
  "transport:core transport"
  "obligation:core obligation"
  "session:core transport obligation session"
  "messages:core transport messages"
  "cli:core messages cli"
  "mail:core transport session messages mail"
  "sra:core transport obligation session messages mail sra"
  "modem:core transport modem"
)

if(NOT ROOT)
  message(FATAL_ERROR "usage: cmake -DROOT=<source tree> -P CheckLayers.cmake")
endif()
get_filename_component(ROOT "${ROOT}" ABSOLUTE)

foreach(layer IN LISTS kLayers)
  string(REPLACE ":" ";" parts "${layer}")
  list(GET parts 0 folder)
  list(GET parts 1 allowed)
  string(REPLACE " " ";" allowed "${allowed}")
  set(allowed_${folder} ${allowed})
  list(APPEND folders ${folder})
endforeach()

set(faults "")
file(GLOB sources LIST_DIRECTORIES false RELATIVE "${ROOT}"
     "${ROOT}/jexlink/*/*.cpp" "${ROOT}/jexlink/*/*.h")
foreach(source IN LISTS sources)
  if(source MATCHES "_test\\.cpp$")
    continue()
  endif()
  string(REGEX REPLACE "^jexlink/([^/]+)/.*" "\\1" folder "${source}")
  if(NOT folder IN_LIST folders)
    string(APPEND faults "${source}: the folder jexlink/${folder} has no place in the layering\n")
    continue()
  endif()
  file(STRINGS "${ROOT}/${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"jexlink/")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE ".*\"jexlink/([^/\"]+)/.*" "\\1" target "${line}")
    if(NOT target IN_LIST allowed_${folder})
      string(STRIP "${line}" line)
      string(APPEND faults "${source}: ${line}: jexlink/${folder} does not stand on jexlink/${target}\n")
    endif()
  endforeach()
endforeach()

if(faults)
  message(NOTICE "${faults}")
  message(FATAL_ERROR "includes against the layering of jexlink/ (above)")
endif()
list(LENGTH sources count)
message(STATUS "Layering of jexlink/ kept by ${count} files")
