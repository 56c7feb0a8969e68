# String-resource files are outside input: whatever lies in the resource folder
# must never make a lookup read outside the bytes it read, and every lookup
# must give the text that the plain reference decoder finds. The plain resource
# sources are compiled in so that libFuzzer sees their branches.
set(_tavix_resources_dir ${PROJECT_SOURCE_DIR}/resources)
tavix_add_fuzzer(fuzz_resource_file
    SOURCES fuzz_resource_file.cpp
            ${_tavix_resources_dir}/resource_file.cpp ${_tavix_resources_dir}/string_lookup.cpp
            ${_tavix_resources_dir}/block_decoder.cpp
    LIBS tavix_resources tavix_testsupport
    SEED ${CMAKE_CURRENT_SOURCE_DIR}/corpus/fuzz_resource_file)
