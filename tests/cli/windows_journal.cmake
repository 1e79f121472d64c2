# The Windows command-line host's undo journal under Wine: cleans a small tree
# with a journal, restores it, and checks kinds and modification times, the
# times of the directory that held them too; then that a second restore skips
# what exists, that a ".." path and a path outside the journal's roots are
# refused, and that a journal inside the tree it cleans is left alone.
# Usage: cmake -DWINE_RUN=<wine-run.sh> -DWINE_PREFIX=<dir> -DCLI=<edclean.exe> -DWORK=<dir>
#          -P windows_journal.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/root/e/n ${WORK}/root/full)
file(WRITE ${WORK}/root/z "")
file(WRITE ${WORK}/root/full/data "x")
# Times the restore must bring back: older than anything the test makes.
execute_process(COMMAND touch -d "2003-04-05 06:07:08" ${WORK}/root/z ${WORK}/root/e/n)
execute_process(COMMAND touch -d "2004-05-06 07:08:09" ${WORK}/root/e)
execute_process(COMMAND touch -d "2005-06-07 08:09:10" ${WORK}/root)
set(entries z e e/n .)
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
list(GET lines 0 header)
list(FILTER lines INCLUDE REGEX "\"kind\":\"(dir|file)\"")
list(LENGTH lines count)
if(NOT count EQUAL 3 OR NOT lines MATCHES "\"attributes\":" OR NOT lines MATCHES "\"btime\":"
   OR NOT header MATCHES "^{\"edclean_journal\":1,\"roots\":\\[\"([^\"]+)\"\\]")
  message(FATAL_ERROR "journal: ${header} ${lines}")
endif()
set(root ${CMAKE_MATCH_1})
list(REMOVE_ITEM entries .)
foreach(entry ${entries})
  if(EXISTS ${WORK}/root/${entry})
    message(FATAL_ERROR "${entry} was not removed")
  endif()
endforeach()

edclean(0 restore ${WORK}/journal.jsonl)
list(APPEND entries .)
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

set(times "\"attributes\":32,\"btime\":{\"sec\":1,\"nsec\":0},\"atime\":{\"sec\":1,\"nsec\":0},\"mtime\":{\"sec\":1,\"nsec\":0}")
file(WRITE ${WORK}/bad.jsonl "${header}\n{\"path\":\"${root}/x/../y\",\"kind\":\"file\",${times}}\n"
  "{\"path\":\"${root}-outside\",\"kind\":\"dir\",${times}}\n")
edclean(3 restore ${WORK}/bad.jsonl)
if(NOT err MATCHES "bad.jsonl:2: refused: path contains \\.\\."
   OR NOT err MATCHES "bad.jsonl:3: refused: not beneath a root the journal records"
   OR EXISTS ${WORK}/root-outside)
  message(FATAL_ERROR "a .. path and one outside the roots: ${err}")
endif()

# A journal made inside the tree it cleans, under a relative name: never
# listed, never removed, and it restores what went.
file(MAKE_DIRECTORY ${WORK}/own)
file(WRITE ${WORK}/own/zero "")
execute_process(COMMAND ${WINE_RUN} ${WINE_PREFIX} ${CLI} clean --yes --journal undo.jsonl .
  WORKING_DIRECTORY ${WORK}/own OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR out MATCHES "undo.jsonl" OR NOT EXISTS ${WORK}/own/undo.jsonl
   OR EXISTS ${WORK}/own/zero)
  message(FATAL_ERROR "a journal in its own tree: exit ${rc}: ${out}${err}")
endif()
edclean(0 restore ${WORK}/own/undo.jsonl)
if(NOT EXISTS ${WORK}/own/zero)
  message(FATAL_ERROR "a journal in its own tree: not restored")
endif()
file(REMOVE_RECURSE ${WORK})
