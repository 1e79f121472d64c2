# The Windows command-line host runs the same scan under Wine: builds a small
# tree, scans it with --json (plainly, then with --exclude and --min-age) and
# checks the text, and that a negative --min-age is a usage error. Then a
# clean: the folder it empties goes after its file, the root it was given
# stays (the tool's real form of the root must be the library's), and a
# root that is empty is marked as such.
# Usage: cmake -DWINE_RUN=<wine-run.sh> -DWINE_PREFIX=<dir> -DCLI=<edclean.exe> -DWORK=<dir>
#          -P windows_scan.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/root/e ${WORK}/root/full)
file(WRITE ${WORK}/root/z "")
file(WRITE ${WORK}/root/full/data "x")
execute_process(COMMAND ${WINE_RUN} ${WINE_PREFIX} ${CLI} scan --json ${WORK}/root
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
# The same tree with the excluded name "e" and an age guard that every fresh
# entry fails: nothing listed, "e" not walked.
execute_process(COMMAND ${WINE_RUN} ${WINE_PREFIX} ${CLI} scan --json --exclude e --min-age 1d
  --threads 1 ${WORK}/root
  OUTPUT_VARIABLE filtered_out ERROR_VARIABLE filtered_err RESULT_VARIABLE filtered_rc)
execute_process(COMMAND ${WINE_RUN} ${WINE_PREFIX} ${CLI} scan --min-age -1d ${WORK}/root
  OUTPUT_VARIABLE usage_out ERROR_VARIABLE usage_err RESULT_VARIABLE usage_rc)
file(MAKE_DIRECTORY ${WORK}/only/p ${WORK}/only/e)
file(WRITE ${WORK}/only/p/z "")
execute_process(COMMAND ${WINE_RUN} ${WINE_PREFIX} ${CLI} clean --yes --json ${WORK}/only
  OUTPUT_VARIABLE clean_out ERROR_VARIABLE clean_err RESULT_VARIABLE clean_rc)
execute_process(COMMAND ${WINE_RUN} ${WINE_PREFIX} ${CLI} scan ${WORK}/only
  OUTPUT_VARIABLE root_out ERROR_VARIABLE root_err RESULT_VARIABLE root_rc)
set(only_left "")
if(EXISTS ${WORK}/only)
  file(GLOB only_left RELATIVE ${WORK}/only ${WORK}/only/*)
else()
  set(only_left "the root itself is gone")
endif()
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
set(filtered_expected "{\"empty_dirs\":[],\"zero_files\":[],\"scanned_dirs\":2}\n")
if(NOT filtered_rc EQUAL 0 OR NOT filtered_out STREQUAL filtered_expected)
  message(FATAL_ERROR "with --exclude and --min-age (${filtered_rc}): ${filtered_err}\n"
    "got:      ${filtered_out}expected: ${filtered_expected}")
endif()
if(NOT usage_rc EQUAL 2 OR NOT usage_err MATCHES "--min-age: '-1d' is not a duration")
  message(FATAL_ERROR "--min-age -1d gave ${usage_rc}: ${usage_err}")
endif()
set(only "Z:/${tail}")
string(REGEX REPLACE "/root$" "/only" only "${only}")
set(clean_expected "{\"path\":\"${only}/p/z\",\"kind\":\"file\",\"outcome\":\"removed\"}
{\"path\":\"${only}/e\",\"kind\":\"dir\",\"outcome\":\"removed\"}
{\"path\":\"${only}/p\",\"kind\":\"dir\",\"outcome\":\"removed\",\"emptied\":true}
")
if(NOT clean_rc EQUAL 0 OR NOT clean_out STREQUAL clean_expected OR NOT only_left STREQUAL "")
  message(FATAL_ERROR "clean --json (${clean_rc}): ${clean_err}\ngot:      ${clean_out}"
    "expected: ${clean_expected}left: ${only_left}")
endif()
if(NOT root_rc EQUAL 0 OR NOT root_out MATCHES "\n  ${only}  \\(root\\)\n")
  message(FATAL_ERROR "scan of an empty root (${root_rc}): ${root_err}\n${root_out}")
endif()
message(STATUS "${out}")
