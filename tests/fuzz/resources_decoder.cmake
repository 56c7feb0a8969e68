# Blocks and code trees come from string-resource files anyone can drop into
# the resource folder: the decoder must stay inside both for any bytes and
# decode as the plain reference decoder of tests/support does.
tavix_add_fuzzer(fuzz_block_decoder
    SOURCES fuzz_block_decoder.cpp ${PROJECT_SOURCE_DIR}/resources/block_decoder.cpp
    LIBS tavix_resources tavix_testsupport
    SEED ${CMAKE_CURRENT_SOURCE_DIR}/corpus/fuzz_block_decoder)
