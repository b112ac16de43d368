# The library's sources, one list per subsystem. The library and the fuzzing
# build compile the same lists; a new source file is added here.
set(_replikon_src ${CMAKE_CURRENT_LIST_DIR})
set(REPLIKON_AUTOMATION_SOURCES
    ${_replikon_src}/automation/chunked_bytes.cpp
    ${_replikon_src}/automation/error.cpp
    ${_replikon_src}/automation/install_location.cpp
    ${_replikon_src}/automation/instance_lifetime.cpp
    ${_replikon_src}/automation/property_bag.cpp
    ${_replikon_src}/automation/registry.cpp
    ${_replikon_src}/automation/safe_array.cpp
    ${_replikon_src}/automation/server_library.cpp
    ${_replikon_src}/automation/type_info.cpp
    ${_replikon_src}/automation/variant.cpp)
set(REPLIKON_COPY_SOURCES
    ${_replikon_src}/copy/copy_engine.cpp
    ${_replikon_src}/copy/engine_context.cpp
    ${_replikon_src}/copy/object_factory.cpp)
set(REPLIKON_STREAM_SOURCES
    ${_replikon_src}/stream/array_encoding.cpp
    ${_replikon_src}/stream/stream_engines.cpp
    ${_replikon_src}/stream/stream_layout.cpp
    ${_replikon_src}/stream/stream_utilities.cpp)
set(REPLIKON_CONTROL_SOURCES
    ${_replikon_src}/control/component_object.cpp
    ${_replikon_src}/control/errors.cpp
    ${_replikon_src}/control/replikon.cpp
    ${_replikon_src}/control/replikon_streams.cpp
    ${_replikon_src}/control/type_library.cpp)
# The About box's launcher; the window is a program of its own (about/).
set(REPLIKON_ABOUT_SOURCES ${_replikon_src}/about/about_box.cpp)
