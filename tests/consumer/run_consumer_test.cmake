# Installs the build into a fresh prefix, then configures, builds and runs the
# consumer project against the installed package.
#   cmake -DBUILD_DIR=... -DCONSUMER_DIR=... -DWORK_DIR=... -DCXX_COMPILER=...
#         [-DCXX_FLAGS=...] [-DBUILD_TYPE=...] [-DHAVE_COMMAND=1] -P run_consumer_test.cmake
foreach(var BUILD_DIR CONSUMER_DIR WORK_DIR CXX_COMPILER)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "run_consumer_test.cmake: ${var} is not set")
  endif()
endforeach()

set(prefix ${WORK_DIR}/prefix)
set(build ${WORK_DIR}/build)
file(REMOVE_RECURSE ${WORK_DIR})

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${out}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

run("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# What a client finds in the prefix.
set(expected include/replikon/control/replikon.hpp include/replikon/version.hpp
             include/replikon/export.hpp)
if(HAVE_COMMAND)
  list(APPEND expected bin/replikon)
endif()
foreach(file ${expected})
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "the install has no ${file}")
  endif()
endforeach()
file(GLOB_RECURSE config_files ${prefix}/*/ReplikonConfig.cmake ${prefix}/*/ReplikonConfigVersion.cmake)
list(LENGTH config_files config_count)
if(NOT config_count EQUAL 2)
  message(FATAL_ERROR "the install has no CMake package (found: ${config_files})")
endif()
foreach(internal about/about_form.hpp copy/engine_context.hpp stream/stream_engines.hpp)
  if(EXISTS ${prefix}/include/replikon/${internal})
    message(FATAL_ERROR "an internal header was installed: ${internal}")
  endif()
endforeach()

if(HAVE_COMMAND)
  run("replikon --version" ${prefix}/bin/replikon --version)
  if(NOT last_output MATCHES "^replikon [0-9]+\\.[0-9]+\\.[0-9]+")
    message(FATAL_ERROR "replikon --version printed: ${last_output}")
  endif()
endif()

run("configuring the consumer" ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${build}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${CXX_FLAGS}"
    -DCMAKE_BUILD_TYPE=${BUILD_TYPE})
run("building the consumer" ${CMAKE_COMMAND} --build ${build})
run("running the consumer" ${build}/replikon_consumer)
message(STATUS "${last_output}")
if(NOT last_output MATCHES "consumer: ok")
  message(FATAL_ERROR "the consumer printed: ${last_output}")
endif()

# With the build tree's About program moved away, a client of the installed
# library starts the installed one.
file(GLOB_RECURSE installed_about ${prefix}/*/replikon-about)
if(installed_about)
  file(GLOB_RECURSE built_about ${BUILD_DIR}/libexec/replikon-about)
  foreach(program ${built_about})
    file(RENAME ${program} ${program}.moved)
  endforeach()
  execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=REPLIKON_ABOUT_PROGRAM
                          ${build}/replikon_about_path
                  RESULT_VARIABLE status OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
  foreach(program ${built_about})
    file(RENAME ${program}.moved ${program})
  endforeach()
  file(REAL_PATH "${installed_about}" expected)
  if(found)
    file(REAL_PATH "${found}" found)
  endif()
  if(NOT status EQUAL 0 OR NOT found STREQUAL expected)
    message(FATAL_ERROR "a client of the install would start '${found}', not ${expected}")
  endif()
  message(STATUS "a client of the install starts ${found}")
else()
  message(STATUS "the About program is not built (FLTK missing): its look-up is not checked")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
