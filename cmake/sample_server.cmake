# The sample order-book server (examples/orders): the tests' and benchmarks'
# fixture, the replikon command's demo, and the server of the examples.
file(GLOB REPLIKON_SAMPLE_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/examples/orders/*.cpp)
add_library(replikon_sample STATIC ${REPLIKON_SAMPLE_SOURCES})
target_include_directories(replikon_sample PUBLIC ${PROJECT_SOURCE_DIR}/examples)
target_compile_options(replikon_sample PRIVATE ${REPLIKON_WARNINGS})
target_link_libraries(replikon_sample PUBLIC replikon)
