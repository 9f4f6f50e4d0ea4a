# The byte-by-byte model of the receive assembler (header only), shared by the
# codec's tests, the core's tests and the fuzzers.
if(NOT TARGET dh_model)
    add_library(dh_model INTERFACE)
    target_include_directories(dh_model INTERFACE ${CMAKE_CURRENT_LIST_DIR})
    target_link_libraries(dh_model INTERFACE DH)
endif()
