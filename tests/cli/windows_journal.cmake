# The Windows command-line host's undo journal under Wine: cleans a small tree
# with a journal, restores it, and checks kinds and modification times; then
# that a second restore skips what exists and a ".." path is refused.
# Usage: cmake -DWINE_RUN=<wine-run.sh> -DWINE_PREFIX=<dir> -DCLI=<edclean.exe> -DWORK=<dir>
#          -P windows_journal.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/root/e/n ${WORK}/root/full)
file(WRITE ${WORK}/root/z "")
file(WRITE ${WORK}/root/full/data "x")
# Times the restore must bring back: older than anything the test makes.
execute_process(COMMAND touch -d "2003-04-05 06:07:08" ${WORK}/root/z ${WORK}/root/e/n)
execute_process(COMMAND touch -d "2004-05-06 07:08:09" ${WORK}/root/e)
set(entries z e e/n)
foreach(entry ${entries})
  file(TIMESTAMP ${WORK}/root/${entry} before_${entry} "%s" UTC)
endforeach()

function(edclean expected_rc)
  execute_process(COMMAND ${WINE_RUN} ${WINE_PREFIX} ${CLI} ${ARGN}
    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL expected_rc)
    message(FATAL_ERROR "edclean.exe ${ARGN}: exit ${rc}, not ${expected_rc}: ${out}${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

edclean(0 clean --yes --journal ${WORK}/journal.jsonl ${WORK}/root)
file(STRINGS ${WORK}/journal.jsonl lines)
list(LENGTH lines count)
if(NOT count EQUAL 3 OR NOT lines MATCHES "\"attributes\":" OR NOT lines MATCHES "\"btime\":")
  message(FATAL_ERROR "journal: ${lines}")
endif()
foreach(entry ${entries})
  if(EXISTS ${WORK}/root/${entry})
    message(FATAL_ERROR "${entry} was not removed")
  endif()
endforeach()

edclean(0 restore ${WORK}/journal.jsonl)
foreach(entry ${entries})
  file(TIMESTAMP ${WORK}/root/${entry} after "%s" UTC)
  if(NOT after STREQUAL before_${entry})
    message(FATAL_ERROR "${entry}: modified at ${after}, was ${before_${entry}}")
  endif()
endforeach()
if(NOT IS_DIRECTORY ${WORK}/root/e/n OR IS_DIRECTORY ${WORK}/root/z OR NOT EXISTS ${WORK}/root/z)
  message(FATAL_ERROR "the restored entries are not of their kinds")
endif()

edclean(3 restore ${WORK}/journal.jsonl)
if(NOT err MATCHES "exists, left as it is: ")
  message(FATAL_ERROR "second restore: ${err}")
endif()

file(WRITE ${WORK}/bad.jsonl "{\"path\":\"C:/x/../y\",\"kind\":\"file\"}\n")
edclean(1 restore ${WORK}/bad.jsonl)
if(NOT err MATCHES "bad.jsonl:1: refused: path contains \\.\\.")
  message(FATAL_ERROR "a .. path: ${err}")
endif()
file(REMOVE_RECURSE ${WORK})
