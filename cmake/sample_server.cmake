# The sample order-book server (examples/orders): the tests' and benchmarks'
# fixture, the replikon command's demo, and the server of the examples.
file(GLOB REPLIKON_SAMPLE_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/examples/orders/*.cpp)
add_library(replikon_sample STATIC ${REPLIKON_SAMPLE_SOURCES})
target_include_directories(replikon_sample PUBLIC ${PROJECT_SOURCE_DIR}/examples)
target_compile_options(replikon_sample PRIVATE ${REPLIKON_WARNINGS})
target_link_libraries(replikon_sample PUBLIC replikon)

# The same server as a server library, OrdersLib.so in build/servers/: found by
# name through REPLIKON_SERVER_PATH by the tests, the demo and the docs.
add_library(replikon_orders_plugin MODULE ${PROJECT_SOURCE_DIR}/examples/orders/plugin/orders_plugin.cpp
                                          ${REPLIKON_SAMPLE_SOURCES})
target_include_directories(replikon_orders_plugin PRIVATE ${PROJECT_SOURCE_DIR}/examples)
target_compile_options(replikon_orders_plugin PRIVATE ${REPLIKON_WARNINGS})
target_link_libraries(replikon_orders_plugin PRIVATE replikon)
set_target_properties(replikon_orders_plugin PROPERTIES
  OUTPUT_NAME OrdersLib
  PREFIX ""
  SUFFIX ".so"
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON
  LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/servers)
set(REPLIKON_SERVERS_BUILD_DIR ${PROJECT_BINARY_DIR}/servers)
