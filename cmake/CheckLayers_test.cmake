# cmake -DROOT=<source tree> -DGRAPH=<link graph> -DWORK=<scratch dir> -P CheckLayers_test.cmake
# The test of the layering check: copies the tree's code to WORK, plants one
# upward include of each form and one link against the table in each
# direction, runs CheckLayers.cmake over the copy and expects it to fail
# naming every one. The tree itself is never touched.
cmake_minimum_required(VERSION 3.25)

# file | planted include | what the check must say
set(kPlanted
  "jexlink/core/JexPlantedQuoted.cpp|#include \"jexlink/session/JexSession.h\"|jexlink/core does not stand on jexlink/session"
  "jexlink/core/JexPlantedRelative.cpp|#include \"../session/JexSession.h\"|jexlink/core does not stand on jexlink/session"
  "jexlink/core/JexPlantedAngle.cpp|#include <jexlink/session/JexSession.h>|jexlink/core does not stand on jexlink/session"
  "jexlink/core/planted/Deeper.cpp|#include \"../../session/JexSession.h\"|jexlink/core does not stand on jexlink/session"
  "jexlink/core/JexPlanted.hpp|#  include \"jexlink/mail/JexMailer.h\"|jexlink/core does not stand on jexlink/mail"
  "jexlink/transport/JexPlanted.inc|#include \"../modem/JexModemAPI.h\"|jexlink/transport does not stand on jexlink/modem"
  "jexlink/transport/JexPlantedTesting.cpp|#include \"testing/support/TempDir.h\"|product code includes test code (testing/support/TempDir.h)"
  "jexlink/session/JexPlantedBeside.cpp|#include \"SessionLoopbackTestSupport.h\"|product code includes test code (jexlink/session/SessionLoopbackTestSupport.h)"
  "platform/base/PlantedWizard.h|#include \"wizard/WizardLayout.h\"|platform does not stand on wizard"
  "C2JavaAPI/PlantedHostsys.cpp|#include <Hostsys/Hostsys.h>|C2JavaAPI does not stand on Hostsys"
  "Hostsys/PlantedService.cpp|#include \"../WindowsService/NTService.h\"|Hostsys does not stand on WindowsService"
  "wizard/PlantedLibrary.cpp|#include \"jexlink/core/JexString.h\"|wizard does not stand on jexlink/core"
  "tools/nodewalk/PlantedPlatform.cpp|#include \"platform/RegKey.h\"|tools/nodewalk does not stand on platform"
  "newlib/Planted.cpp|#include \"platform/RegKey.h\"|the folder newlib has no place in the layering"
)
# Lines added to the link graph, and what the check must say of each.
set(kPlantedLinks
  "jexplanted jexlink/core product jexsession|target jexplanted: links jexsession: jexlink/core does not stand on jexlink/session"
  "plantedtool tools/keyprobe product tavro_testsupport|target plantedtool: links tavro_testsupport, which is test code"
)
# The modem library made to link the core alone: the table's row for it
# then allows what no link backs.
set(kDriftedModem "jexmodem jexlink/modem product jexcore platform")
set(kDriftSays "the table lets jexlink/modem include jexlink/transport, but no target of jexlink/modem links one of jexlink/transport")

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
foreach(top platform C2JavaAPI Hostsys WindowsService jexlink wizard tools testing)
  file(COPY "${ROOT}/${top}" DESTINATION "${WORK}")
endforeach()

set(expected "")
foreach(plant IN LISTS kPlanted)
  string(REPLACE "|" ";" fields "${plant}")
  list(GET fields 0 path)
  list(GET fields 1 line)
  list(GET fields 2 says)
  if(NOT EXISTS "${WORK}/${path}")
    file(WRITE "${WORK}/${path}" "// Planted by the test of the layering check.\n${line}\n")
  endif()
  if(path MATCHES "^newlib/")
    list(APPEND expected "${path}: ${says}")
  else()
    list(APPEND expected "${path}: ${line}: ${says}")
  endif()
endforeach()

file(STRINGS "${GRAPH}" graph)
set(planted_graph "")
foreach(line IN LISTS graph)
  if(line MATCHES "^jexmodem ")
    set(line "${kDriftedModem}")
  endif()
  string(APPEND planted_graph "${line}\n")
endforeach()
foreach(plant IN LISTS kPlantedLinks)
  string(REPLACE "|" ";" fields "${plant}")
  list(GET fields 0 line)
  list(GET fields 1 says)
  string(APPEND planted_graph "${line}\n")
  list(APPEND expected "${says}")
endforeach()
list(APPEND expected "${kDriftSays}")
file(WRITE "${WORK}/planted-link-graph.txt" "${planted_graph}")

execute_process(COMMAND ${CMAKE_COMMAND} -DROOT=${WORK} -DGRAPH=${WORK}/planted-link-graph.txt
                        -P ${CMAKE_CURRENT_LIST_DIR}/CheckLayers.cmake
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
set(out "${out}${err}")
set(missed "")
foreach(says IN LISTS expected)
  string(FIND "${out}" "${says}" at)
  if(at EQUAL -1)
    string(APPEND missed "  ${says}\n")
  endif()
endforeach()
if(status EQUAL 0)
  string(APPEND missed "  (the check passed)\n")
endif()
file(REMOVE_RECURSE "${WORK}")
if(missed)
  message(FATAL_ERROR "the layering check missed what was planted:\n${missed}its output:\n${out}")
endif()
list(LENGTH expected count)
message(STATUS "The layering check caught all ${count} planted faults")
