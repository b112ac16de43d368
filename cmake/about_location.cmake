# Run by `cmake --install` for a static library: writes the source file that
# the CMake package compiles into each client, naming the folder this install
# put the About program in (the prefix is only known now).
#   REPLIKON_ABOUT_SUBDIR: that folder, relative to the prefix or absolute
#   REPLIKON_CMAKE_SUBDIR: the package's folder, relative to the prefix
if(IS_ABSOLUTE "${REPLIKON_ABOUT_SUBDIR}")
  set(_dir "${REPLIKON_ABOUT_SUBDIR}")
else()
  set(_dir "${CMAKE_INSTALL_PREFIX}/${REPLIKON_ABOUT_SUBDIR}")
endif()
string(REPLACE "\\" "\\\\" _dir "${_dir}")
string(REPLACE "\"" "\\\"" _dir "${_dir}")
set(_file "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${REPLIKON_CMAKE_SUBDIR}/replikon_about_location.cpp")
message(STATUS "Installing: ${_file}")
file(WRITE "${_file}" "// Written by cmake --install: where the About program of this Replikon is.
extern \"C\" const char* replikon_about_install_dir();
extern \"C\" __attribute__((weak)) const char* replikon_about_install_dir() {
  return \"${_dir}\";
}
")
