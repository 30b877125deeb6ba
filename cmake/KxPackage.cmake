# The installed CMake package: find_package(kxlightlobe) gives kxlightlobe::kestrix,
# kxlightlobe::kxcoordsys and kxlightlobe::kxlightlobe, each carrying the installed include folder.
include(CMakePackageConfigHelpers)

set(KX_PACKAGE_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/kxlightlobe")

# Installed modules link the runtime library, which lies beside them; without this they would
# rely on it being loaded already or on the loader's default search path.
foreach(module kxcoordsys kxlightlobe)
    if(TARGET ${module})
        set_property(TARGET ${module} PROPERTY INSTALL_RPATH "$ORIGIN")
    endif()
endforeach()

install(EXPORT kxlightlobeTargets
    NAMESPACE kxlightlobe::
    FILE kxlightlobeTargets.cmake
    DESTINATION "${KX_PACKAGE_INSTALL_DIR}")

configure_package_config_file(cmake/kxlightlobeConfig.cmake.in
    "${PROJECT_BINARY_DIR}/kxlightlobeConfig.cmake"
    INSTALL_DESTINATION "${KX_PACKAGE_INSTALL_DIR}"
    PATH_VARS CMAKE_INSTALL_LIBDIR)
write_basic_package_version_file("${PROJECT_BINARY_DIR}/kxlightlobeConfigVersion.cmake"
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)

install(FILES
        "${PROJECT_BINARY_DIR}/kxlightlobeConfig.cmake"
        "${PROJECT_BINARY_DIR}/kxlightlobeConfigVersion.cmake"
    DESTINATION "${KX_PACKAGE_INSTALL_DIR}")
