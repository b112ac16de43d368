# Installs the library, its headers and a CMake package, so that a project can
#   find_package(Replikon 1.0 REQUIRED)
#   target_link_libraries(app PRIVATE replikon::replikon)
# The replikon command and the About program install themselves (tools/, src/about/).
include(CMakePackageConfigHelpers)

set(REPLIKON_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Replikon)

install(TARGETS replikon EXPORT ReplikonTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The headers of the library. The About form's own headers belong to the
# About program, which is not a library, and are left out.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/replikon
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.hpp"
        PATTERN "about_form.hpp" EXCLUDE
        PATTERN "opisnica.hpp" EXCLUDE
        PATTERN "shell_command.hpp" EXCLUDE)

install(EXPORT ReplikonTargets
        NAMESPACE replikon::
        FILE ReplikonTargets.cmake
        DESTINATION ${REPLIKON_INSTALL_CMAKEDIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ReplikonConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/ReplikonConfig.cmake
                              INSTALL_DESTINATION ${REPLIKON_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ReplikonConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION}
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ReplikonConfig.cmake
              ${PROJECT_BINARY_DIR}/ReplikonConfigVersion.cmake
        DESTINATION ${REPLIKON_INSTALL_CMAKEDIR})
