# Fuzzing builds (KX_BUILD_FUZZERS) instrument every project target for libFuzzer's coverage
# feedback and run it under AddressSanitizer and UndefinedBehaviorSanitizer: the same sanitizer
# path as KX_SANITIZE, with the coverage instrumentation added. Only clang has libFuzzer.
if(KX_BUILD_FUZZERS)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT CMAKE_C_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR
            "KX_BUILD_FUZZERS needs clang and its libFuzzer (the C++ compiler is "
            "${CMAKE_CXX_COMPILER_ID}): configure a fresh build folder with "
            "CC=clang-14 CXX=clang++-14, or see scripts/fuzz.sh")
    endif()
    if(KX_SANITIZE AND NOT KX_SANITIZE STREQUAL "address,undefined")
        message(FATAL_ERROR
            "KX_BUILD_FUZZERS runs with address,undefined; it cannot be combined with "
            "KX_SANITIZE=${KX_SANITIZE}")
    endif()
    set(KX_SANITIZE "address,undefined")
endif()

# Warnings, visibility and sanitizers for the project's own targets only.
function(kx_target_options target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
    set_target_properties(${target} PROPERTIES
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON)
    if(KX_SANITIZE)
        set(sanitizers ${KX_SANITIZE})
        if(KX_BUILD_FUZZERS)
            # Coverage instrumentation without libFuzzer's main; fuzz targets add -fsanitize=fuzzer.
            set(sanitizers "fuzzer-no-link,${KX_SANITIZE}")
        endif()
        target_compile_options(${target} PRIVATE -fsanitize=${sanitizers} -fno-omit-frame-pointer
                               -fno-sanitize-recover=all)
        target_link_options(${target} PRIVATE -fsanitize=${sanitizers})
    endif()
endfunction()
