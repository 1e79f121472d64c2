# The Windows command-line host runs the same scan under Wine: builds a small
# tree, scans it with --json and checks the text.
# Usage: cmake -DWINE_RUN=<wine-run.sh> -DWINE_PREFIX=<dir> -DCLI=<edclean.exe> -DWORK=<dir>
#          -P windows_scan.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/root/e ${WORK}/root/full)
file(WRITE ${WORK}/root/z "")
file(WRITE ${WORK}/root/full/data "x")
execute_process(COMMAND ${WINE_RUN} ${WINE_PREFIX} ${CLI} scan --json ${WORK}/root
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
file(REMOVE_RECURSE ${WORK})
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "edclean.exe failed (${rc}): ${err}")
endif()
# Wine shows the host's / as drive Z:.
string(REGEX REPLACE "^/" "" tail "${WORK}/root")
set(root "Z:/${tail}")
set(expected "{\"empty_dirs\":[\"${root}/e\"],\"zero_files\":[\"${root}/z\"],\"scanned_dirs\":3}\n")
if(NOT out STREQUAL expected)
  message(FATAL_ERROR "got:      ${out}expected: ${expected}")
endif()
message(STATUS "${out}")
