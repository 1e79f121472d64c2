# Every 64-bit Windows binary the build links has its function table
# (.pdata) checked right after the link: entries out of order make every C++
# exception end the program, with code that is otherwise intact
# (cmake/check_unwind_table.py says why). A bad binary fails the build and is
# moved aside, so that the next build links it again. GNU ld stays the
# linker: this toolchain's gcc driver ignores -fuse-ld=lld for the MinGW
# target and links with GNU ld all the same.
if(WIN32)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
endif()

function(edclean_check_unwind_table target)
  if(WIN32)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/cmake/check_unwind_table.py --reject-bad
              $<TARGET_FILE:${target}>
      VERBATIM)
  endif()
endfunction()
