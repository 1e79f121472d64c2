# Warnings are errors in the project's own code (not in third-party code).
function(edclean_strict_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Werror)
endfunction()
