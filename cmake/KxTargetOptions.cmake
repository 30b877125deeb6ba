# Warnings, visibility and sanitizers for the project's own targets only.
function(kx_target_options target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
    set_target_properties(${target} PROPERTIES
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON)
    if(KX_SANITIZE)
        target_compile_options(${target} PRIVATE -fsanitize=${KX_SANITIZE} -fno-omit-frame-pointer
                               -fno-sanitize-recover=all)
        target_link_options(${target} PRIVATE -fsanitize=${KX_SANITIZE})
    endif()
endfunction()
