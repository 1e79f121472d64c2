# Makes, on the build machine's side, a directory holding symbolic links, for
# the Windows tests under Wine: Wine cannot create links itself, but shows a
# host link to a directory as a reparse point.
# Usage: cmake -DDIR=<dir> -P make_link_fixture.cmake
file(REMOVE_RECURSE ${DIR})
file(MAKE_DIRECTORY ${DIR}/target ${DIR}/holder)
file(CREATE_LINK ${DIR}/target ${DIR}/dir_link SYMBOLIC)
file(CREATE_LINK ${DIR}/target ${DIR}/holder/link SYMBOLIC)

# Names Win32 cannot tell apart: Wine shows both "d\xff" and "d\x80" (bytes
# that are not UTF-8) as "d\uFFFD" and opens the first for either. One is an
# empty directory, the other holds a file.
execute_process(COMMAND sh -c "mkdir -p \"$1/$(printf 'd\\377')\" \"$1/$(printf 'd\\200')\" && echo data > \"$1/$(printf 'd\\200')/data\""
  sh ${DIR}/alike_names RESULT_VARIABLE made)
if(NOT made EQUAL 0)
  message(FATAL_ERROR "could not make ${DIR}/alike_names")
endif()

# A link to an empty file outside the tree the tests register (${DIR}/files):
# Wine shows it as a plain empty file and opens it as its target.
file(MAKE_DIRECTORY ${DIR}/files ${DIR}/outside)
file(TOUCH ${DIR}/outside/zero)
file(CREATE_LINK ${DIR}/outside/zero ${DIR}/files/zero_link SYMBOLIC)
