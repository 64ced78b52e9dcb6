# cmake -DROOT=<source tree> -DGRAPH=<build>/tavro-link-graph.txt -P CheckLayers.cmake
# Fails when product code includes a header of a folder that its folder does
# not stand on, or when the table below and the link graph of the build
# (target_link_libraries, written by cmake/Checks.cmake) disagree.
#
# Every include form is read as the compiler reads it: quoted names first
# beside the including file ("../session/JexSession.h", "JexString.h"),
# then from the top of the tree, and angle brackets from the top of the
# tree; a file in any sub-folder belongs to the longest folder of the table
# it lies in. Product code is every C and C++ source (.cpp .cc .c .h .hpp
# .inc .def ...) under the top folders other than testing/, fuzz/, bench/
# and cmake/, except test code (*_test.*, *_testapp.*, *TestSupport.*,
# *TestHost.*). Product code never includes test code. A top folder or a
# sub-folder with sources that the table does not place fails too, so that a
# new library declares its place.
#
# The table and the link graph: a product target links only targets of
# folders its folder stands on, and every folder a folder stands on is one
# its targets reach through their links; so the table can neither allow an
# include that would not link, nor fall behind a new link.
cmake_minimum_required(VERSION 3.25)

# folder: the folders it may include, itself among them.
set(kLayers
  "platform: platform"
  "C2JavaAPI: platform C2JavaAPI"
  "Hostsys: platform C2JavaAPI Hostsys"
  "WindowsService: platform C2JavaAPI Hostsys WindowsService"
  "jexlink/core: platform jexlink/core"
  "jexlink/transport: platform jexlink/core jexlink/transport"
  "jexlink/obligation: platform jexlink/core jexlink/obligation"
  "jexlink/session: platform jexlink/core jexlink/transport jexlink/obligation jexlink/session"
  "jexlink/messages: platform jexlink/core jexlink/transport jexlink/messages"
  "jexlink/cli: platform jexlink/core jexlink/transport jexlink/messages jexlink/cli"
  "jexlink/mail: platform jexlink/core jexlink/transport jexlink/obligation jexlink/session jexlink/messages jexlink/mail"
  "jexlink/sra: platform jexlink/core jexlink/transport jexlink/obligation jexlink/session jexlink/messages jexlink/mail jexlink/sra"
  "jexlink/modem: platform jexlink/core jexlink/transport jexlink/modem"
  "jexlink: platform jexlink/core jexlink/transport jexlink/obligation jexlink/session jexlink/messages jexlink/mail jexlink/sra jexlink/modem jexlink"
  "wizard: platform wizard"
  "tools/jexnode: platform jexlink/core tools/jexnode"
  "tools/keyprobe: platform tools/keyprobe"
  "tools/nodewalk: tools/nodewalk"
  "tools/tavrostat: platform Hostsys tools/tavrostat"
)
# Top folders that hold no product code.
set(kNotProduct testing fuzz bench cmake)
set(kTestCode "(_test|_testapp|TestSupport|TestHost)\\.[A-Za-z]+$")
set(kSourceGlobs *.cpp *.cc *.cxx *.c *.h *.hh *.hpp *.hxx *.inc *.ipp *.def)

if(NOT ROOT OR NOT GRAPH)
  message(FATAL_ERROR "usage: cmake -DROOT=<source tree> -DGRAPH=<link graph> -P CheckLayers.cmake")
endif()
get_filename_component(ROOT "${ROOT}" ABSOLUTE)
if(NOT EXISTS "${GRAPH}")
  message(FATAL_ERROR "no link graph at ${GRAPH} (cmake/Checks.cmake writes it when the build is configured)")
endif()

set(folders "")
foreach(layer IN LISTS kLayers)
  string(REGEX MATCH "^([^:]+): (.*)$" matched "${layer}")
  set(folder "${CMAKE_MATCH_1}")
  string(REPLACE " " ";" allowed "${CMAKE_MATCH_2}")
  set(allowed_${folder} ${allowed})
  list(APPEND folders ${folder})
endforeach()
# Longest folders first, so that a path belongs to the deepest one.
list(SORT folders COMPARE STRING ORDER DESCENDING)

# layer_of(VAR PATH): the folder of the table PATH lies in, or "".
function(layer_of var path)
  foreach(folder IN LISTS folders)
    if(path STREQUAL folder OR path MATCHES "^${folder}/")
      set(${var} "${folder}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
  set(${var} "" PARENT_SCOPE)
endfunction()

# not_product(VAR PATH): whether PATH is test code or lies in a top folder
# without product code.
function(not_product var path)
  string(REGEX REPLACE "/.*" "" top "${path}")
  get_filename_component(name "${path}" NAME)
  if(top IN_LIST kNotProduct OR name MATCHES "${kTestCode}")
    set(${var} ON PARENT_SCOPE)
  else()
    set(${var} OFF PARENT_SCOPE)
  endif()
endfunction()

# resolve(VAR DIR FORM NAME): the tree path an include names, as the
# compiler finds it, or "" for a header from outside the tree.
function(resolve var dir form name)
  set(candidates "")
  if(form STREQUAL "\"")
    list(APPEND candidates "${dir}/${name}")
  endif()
  list(APPEND candidates "${name}")
  foreach(candidate IN LISTS candidates)
    cmake_path(NORMAL_PATH candidate)
    if(NOT candidate MATCHES "^\\.\\./" AND EXISTS "${ROOT}/${candidate}"
       AND NOT IS_DIRECTORY "${ROOT}/${candidate}")
      set(${var} "${candidate}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
  # A name that does not exist (yet) but points into a folder of the tree:
  # from the including file when it climbs out of it, else from the top.
  if(form STREQUAL "\"" AND name MATCHES "^\\.")
    set(candidate "${dir}/${name}")
  else()
    set(candidate "${name}")
  endif()
  cmake_path(NORMAL_PATH candidate)
  string(REGEX REPLACE "/.*" "" top "${candidate}")
  if(candidate MATCHES "/" AND NOT top STREQUAL ".." AND IS_DIRECTORY "${ROOT}/${top}")
    set(${var} "${candidate}" PARENT_SCOPE)
  else()
    set(${var} "" PARENT_SCOPE)
  endif()
endfunction()

set(faults "")

# Every source under the product top folders (build trees left out).
file(GLOB tops LIST_DIRECTORIES true RELATIVE "${ROOT}" "${ROOT}/*")
set(sources "")
foreach(top IN LISTS tops)
  if(NOT IS_DIRECTORY "${ROOT}/${top}" OR top MATCHES "^(\\.|build)" OR top IN_LIST kNotProduct
     OR EXISTS "${ROOT}/${top}/CMakeCache.txt")
    continue()
  endif()
  set(globs "")
  foreach(glob IN LISTS kSourceGlobs)
    list(APPEND globs "${ROOT}/${top}/${glob}")
  endforeach()
  file(GLOB_RECURSE found LIST_DIRECTORIES false RELATIVE "${ROOT}" ${globs})
  list(APPEND sources ${found})
endforeach()
list(SORT sources)

set(count 0)
foreach(source IN LISTS sources)
  not_product(skip "${source}")
  if(skip)
    continue()
  endif()
  math(EXPR count "${count} + 1")
  layer_of(folder "${source}")
  if(NOT folder)
    get_filename_component(dir "${source}" DIRECTORY)
    string(APPEND faults "${source}: the folder ${dir} has no place in the layering\n")
    continue()
  endif()
  get_filename_component(dir "${source}" DIRECTORY)
  file(STRINGS "${ROOT}/${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
  foreach(line IN LISTS includes)
    if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*([<\"])([^>\"]+)[>\"]")
      continue()
    endif()
    resolve(target "${dir}" "${CMAKE_MATCH_1}" "${CMAKE_MATCH_2}")
    if(NOT target)
      continue()
    endif()
    string(STRIP "${line}" line)
    not_product(test "${target}")
    if(test)
      string(APPEND faults "${source}: ${line}: product code includes test code (${target})\n")
      continue()
    endif()
    layer_of(to "${target}")
    if(NOT to)
      string(APPEND faults "${source}: ${line}: ${target} has no place in the layering\n")
    elseif(NOT to IN_LIST allowed_${folder})
      string(APPEND faults "${source}: ${line}: ${folder} does not stand on ${to}\n")
    endif()
  endforeach()
endforeach()

# The link graph: "target folder product|test link...".
file(STRINGS "${GRAPH}" graph)
set(targets "")
foreach(line IN LISTS graph)
  string(REPLACE " " ";" fields "${line}")
  list(POP_FRONT fields target folder kind)
  set(folder_${target} "${folder}")
  set(kind_${target} "${kind}")
  set(links_${target} ${fields})
  list(APPEND targets ${target})
endforeach()
foreach(target IN LISTS targets)
  set(folder "${folder_${target}}")
  not_product(skip "${folder}/x")
  if(folder STREQUAL "." OR skip OR kind_${target} STREQUAL "test")
    continue()
  endif()
  layer_of(from "${folder}")
  if(NOT from)
    string(APPEND faults "target ${target}: the folder ${folder} has no place in the layering\n")
    continue()
  endif()
  foreach(link IN LISTS links_${target})
    if(NOT DEFINED folder_${link})
      continue()
    endif()
    not_product(test "${folder_${link}}/x")
    if(kind_${link} STREQUAL "test")
      set(test ON)
    endif()
    layer_of(to "${folder_${link}}")
    if(test)
      string(APPEND faults "target ${target}: links ${link}, which is test code\n")
    elseif(to AND NOT to IN_LIST allowed_${from})
      string(APPEND faults "target ${target}: links ${link}: ${from} does not stand on ${to}\n")
    endif()
  endforeach()
  # The folders this target reaches through its links, for the table's rows.
  set(seen ${target})
  set(queue ${links_${target}})
  while(queue)
    list(POP_FRONT queue next)
    if(next IN_LIST seen OR NOT DEFINED folder_${next})
      continue()
    endif()
    list(APPEND seen ${next})
    layer_of(to "${folder_${next}}")
    if(to)
      list(APPEND reach_${from} ${to})
    endif()
    list(APPEND queue ${links_${next}})
  endwhile()
endforeach()
foreach(folder IN LISTS folders)
  foreach(to IN LISTS allowed_${folder})
    if(NOT to STREQUAL folder AND NOT to IN_LIST reach_${folder})
      string(APPEND faults "the table lets ${folder} include ${to}, but no target of ${folder} links one of ${to}\n")
    endif()
  endforeach()
endforeach()

if(faults)
  message(NOTICE "${faults}")
  message(FATAL_ERROR "includes or links against the layering (above)")
endif()
list(LENGTH targets linked)
message(STATUS "Layering kept by ${count} product files and ${linked} targets")
