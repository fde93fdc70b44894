# Warnings, sanitizer and portable-link flags applied per target, never
# directory-wide.
function(trackora_warnings target)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wpedantic>)
  if(TRACKORA_WERROR)
    # GCC 12 reports -Wrestrict on ordinary std::string concatenation at -O2
    # (GCC bug 105329); it stays a warning.
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-Werror -Wno-error=restrict>)
  endif()
  if(CMAKE_POSITION_INDEPENDENT_CODE)
    # Position-independent code for the Python module, still inlined as in
    # an executable: nothing interposes the libraries' functions.
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-fno-semantic-interposition>)
  endif()
  if(TRACKORA_PORTABLE)
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
  if(TRACKORA_SANITIZE)
    target_compile_options(${target} PRIVATE
      $<$<COMPILE_LANGUAGE:CXX>:-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all>)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()
