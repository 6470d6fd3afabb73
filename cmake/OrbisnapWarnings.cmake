# Warning and sanitizer flags, applied per target so nothing leaks into consumers.
function(orbisnap_target_defaults target)
    target_compile_options(${target} PRIVATE -Wall -Wextra)
    if(ORBISNAP_SANITIZE)
        target_compile_options(${target} PRIVATE
            -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
        target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    endif()
endfunction()
