# Finds what the Python module needs and adds python/ when it is all there;
# otherwise says why the module is skipped. On Debian: python3-dev,
# pybind11-dev and python3-pybind11 (and python3-pytest for its tests), which
# belong to /usr/bin/python3: the presets name that interpreter, so that a
# Python found first on PATH does not hide them.
set(_replikon_python_skip "")
if(REPLIKON_SANITIZE OR REPLIKON_TSAN)
  # An instrumented extension cannot load into an uninstrumented interpreter.
  set(_replikon_python_skip "a sanitizer build")
else()
  find_package(Python3 3.8 COMPONENTS Interpreter Development.Module)
  if(NOT Python3_FOUND)
    set(_replikon_python_skip "Python's development files were not found (Debian: python3-dev)")
  else()
    find_package(pybind11 2.6 CONFIG QUIET)
    if(NOT pybind11_FOUND)
      set(_replikon_python_skip "pybind11 was not found (Debian: pybind11-dev python3-pybind11)")
    endif()
  endif()
endif()

if(_replikon_python_skip)
  message(STATUS "Python module: skipped: ${_replikon_python_skip}")
  if(REPLIKON_BUILD_TESTS)
    add_test(NAME python COMMAND ${CMAKE_COMMAND} -E echo "skipped: ${_replikon_python_skip}")
    set_tests_properties(python PROPERTIES SKIP_REGULAR_EXPRESSION "skipped: ")
  endif()
  return()
endif()

# The prefix's site folder for modules with compiled parts, as the interpreter
# reports it (lib/python3.X/site-packages; Debian's own interpreter looks in
# <prefix>/lib/python3.X/dist-packages under /usr/local).
if(NOT DEFINED REPLIKON_PYTHON_INSTALL_DIR)
  execute_process(
    COMMAND ${Python3_EXECUTABLE} -c
            "import sysconfig as s; p = s.get_path('platlib', vars={'platbase': '@', 'base': '@'}); p = p[2:]; print(p[6:] if p.startswith('local/') else p)"
    OUTPUT_VARIABLE _replikon_site OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _replikon_site)
    set(_replikon_site ${CMAKE_INSTALL_LIBDIR}/python${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}/site-packages)
  endif()
  set(REPLIKON_PYTHON_INSTALL_DIR ${_replikon_site} CACHE STRING
      "Where cmake --install puts the Python package, relative to the prefix")
endif()
message(STATUS "Python module: built for ${Python3_EXECUTABLE} (${Python3_VERSION}), "
               "installed into <prefix>/${REPLIKON_PYTHON_INSTALL_DIR}")
add_subdirectory(python)
