# The project's own code is compiled with a wide set of warnings. They become
# errors only where the project checks itself (its scripts and CI pass
# -DEDCLEAN_WARNINGS_AS_ERRORS=ON): a user's or a packager's build with a newer
# or older compiler than the project's own must not fail on a new warning.
# Third-party code (RapidJSON, CLI11, GoogleTest) is never held to them.
option(EDCLEAN_WARNINGS_AS_ERRORS "Treat warnings in the project's own code as errors" OFF)

# A Windows program or DLL of the project needs only system DLLs: the
# compiler's runtimes are linked in. Every Windows binary goes through here,
# so here its unwind table is checked as soon as it is linked
# (cmake/EdcleanUnwindCheck.cmake).
function(edclean_static_runtime target)
  if(WIN32)
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
    edclean_check_unwind_table(${target})
  endif()
endfunction()

function(edclean_strict_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow)
  if(EDCLEAN_WARNINGS_AS_ERRORS)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
