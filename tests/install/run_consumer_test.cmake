# Driver of the install_consumer test (cmake -P): install, configure and build the consumer
# against the installed package only, then run it with the installed modules.
foreach(var KX_BUILD_DIR KX_PREFIX KX_LIBDIR KX_DATADIR KX_CONSUMER_SOURCE_DIR
            KX_CONSUMER_BINARY_DIR KX_CXX_COMPILER)
    if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
        message(FATAL_ERROR "run_consumer_test: ${var} is not set")
    endif()
endforeach()
if(NOT KX_BUILD_CONFIG)
    set(KX_BUILD_CONFIG RelWithDebInfo)
endif()

function(kx_step description)
    message(STATUS "install_consumer: ${description}")
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "install_consumer: ${description} failed (${result})")
    endif()
endfunction()

# Start from nothing so a file left by an earlier run cannot hide one the install forgot.
file(REMOVE_RECURSE "${KX_PREFIX}" "${KX_CONSUMER_BINARY_DIR}")

kx_step("install into ${KX_PREFIX}"
    ${CMAKE_COMMAND} --install "${KX_BUILD_DIR}" --config "${KX_BUILD_CONFIG}"
        --prefix "${KX_PREFIX}")

# The examples are the configuration files kxrun runs, without the example programs' sources
# and build files.
set(examples_dir "${KX_PREFIX}/${KX_DATADIR}/kxlightlobe/examples")
file(GLOB_RECURSE installed_examples RELATIVE "${examples_dir}" "${examples_dir}/*")
list(FIND installed_examples "night_drive.xml" night_drive_at)
if(night_drive_at EQUAL -1)
    message(FATAL_ERROR "install_consumer: ${examples_dir} lacks night_drive.xml")
endif()
foreach(file IN LISTS installed_examples)
    if(file MATCHES "(^|/)CMakeLists\\.txt$|\\.(cmake|cpp)$")
        message(FATAL_ERROR "install_consumer: ${examples_dir}/${file} should not be installed")
    endif()
endforeach()

# /proc/self/maps, which the consumer checks against the module path, names real paths.
file(REAL_PATH "${KX_PREFIX}" real_prefix)

# A sanitized runtime needs the sanitizer runtime first in the program, so the consumer is
# built with the same sanitizers.
set(sanitize_args)
if(KX_SANITIZE)
    set(flags "-fsanitize=${KX_SANITIZE} -fno-omit-frame-pointer")
    set(sanitize_args "-DCMAKE_CXX_FLAGS=${flags}" "-DCMAKE_EXE_LINKER_FLAGS=${flags}")
endif()

# Package registries are off so that only the scratch prefix can satisfy find_package.
kx_step("configure the consumer"
    ${CMAKE_COMMAND} -S "${KX_CONSUMER_SOURCE_DIR}" -B "${KX_CONSUMER_BINARY_DIR}"
        "-DCMAKE_PREFIX_PATH=${KX_PREFIX}"
        "-DCMAKE_BUILD_TYPE=${KX_BUILD_CONFIG}"
        "-DCMAKE_CXX_COMPILER=${KX_CXX_COMPILER}"
        -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
        -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF
        ${sanitize_args})

file(STRINGS "${KX_CONSUMER_BINARY_DIR}/CMakeCache.txt" package_dir REGEX "^kxlightlobe_DIR:")
string(REGEX REPLACE "^[^=]*=" "" package_dir "${package_dir}")
file(REAL_PATH "${package_dir}" real_package_dir)
string(FIND "${real_package_dir}/" "${real_prefix}/" at)
if(NOT at EQUAL 0)
    message(FATAL_ERROR
        "install_consumer: the package came from ${package_dir}, not from ${KX_PREFIX}")
endif()

kx_step("build the consumer"
    ${CMAKE_COMMAND} --build "${KX_CONSUMER_BINARY_DIR}" --config "${KX_BUILD_CONFIG}" -j2)

# The runtime looks for modules in the build tree and the configured install folder, neither of
# which is the scratch prefix; KESTRIX_MODULE_PATH points it there.
set(consumer "${KX_CONSUMER_BINARY_DIR}/kxlightlobe_consumer")
kx_step("run the consumer"
    ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH
        "KESTRIX_MODULE_PATH=${real_prefix}/${KX_LIBDIR}" "${consumer}")
