# Makes, on the build machine's side, a directory holding symbolic links, for
# the Windows tests under Wine: Wine cannot create links itself, but shows a
# host link to a directory as a reparse point.
# Usage: cmake -DDIR=<dir> -P make_link_fixture.cmake
file(REMOVE_RECURSE ${DIR})
file(MAKE_DIRECTORY ${DIR}/target ${DIR}/holder)
file(CREATE_LINK ${DIR}/target ${DIR}/dir_link SYMBOLIC)
file(CREATE_LINK ${DIR}/target ${DIR}/holder/link SYMBOLIC)
