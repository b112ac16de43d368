# Installs the library, its headers, a CMake package and a pkg-config file, so
# that a project can
#   find_package(Replikon 1.0 REQUIRED)
#   target_link_libraries(app PRIVATE replikon::replikon)
# or use `pkg-config --cflags --libs replikon`. The replikon command and the
# About program install themselves (tools/, src/about/).
include(CMakePackageConfigHelpers)

set(REPLIKON_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Replikon)

install(TARGETS replikon EXPORT ReplikonTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The public headers; the internal ones live in src/ and are not installed.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/replikon
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.hpp")

# A static library cannot tell where it was installed: the package hands each
# client the About program's folder of this install (cmake/about_location.cmake).
if(REPLIKON_LIBRARY_TYPE STREQUAL "STATIC_LIBRARY" AND REPLIKON_ABOUT_BOX_BUILT)
  install(CODE "set(REPLIKON_ABOUT_SUBDIR \"${CMAKE_INSTALL_LIBEXECDIR}/replikon\")
set(REPLIKON_CMAKE_SUBDIR \"${REPLIKON_INSTALL_CMAKEDIR}\")
include(\"${CMAKE_CURRENT_LIST_DIR}/about_location.cmake\")")
endif()

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

# pkg-config: paths relative to the file itself, so that the prefix given to
# `cmake --install --prefix` is the one it names.
file(RELATIVE_PATH REPLIKON_PC_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" REPLIKON_PC_PREFIX "${REPLIKON_PC_PREFIX}")
foreach(_dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_dir}}")
    set(REPLIKON_PC_${_dir} "${CMAKE_INSTALL_${_dir}}")
  else()
    set(REPLIKON_PC_${_dir} "\${prefix}/${CMAKE_INSTALL_${_dir}}")
  endif()
endforeach()
set(REPLIKON_PC_CFLAGS "")
if(REPLIKON_LIBRARY_TYPE STREQUAL "STATIC_LIBRARY")
  set(REPLIKON_PC_CFLAGS " -DREPLIKON_STATIC")
endif()
set(REPLIKON_PC_LIBS_PRIVATE "-pthread")
foreach(_lib ${CMAKE_DL_LIBS})
  string(APPEND REPLIKON_PC_LIBS_PRIVATE " -l${_lib}")
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/replikon.pc.in ${PROJECT_BINARY_DIR}/replikon.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/replikon.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/replikon)
