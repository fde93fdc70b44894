# Warnings and sanitizer flags applied per target, never directory-wide.
function(trackora_warnings target)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wpedantic>)
  if(TRACKORA_WERROR)
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-Werror>)
  endif()
  if(TRACKORA_SANITIZE)
    target_compile_options(${target} PRIVATE
      $<$<COMPILE_LANGUAGE:CXX>:-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all>)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()
