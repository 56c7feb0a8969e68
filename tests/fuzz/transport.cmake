# Replies come from the device: the command channel must survive any of them.
# The channel's source (and readCommandArea's, in protocol_extras) is compiled
# in so that libFuzzer sees its branches.
tavix_add_fuzzer(fuzz_command_replies
    SOURCES fuzz_command_replies.cpp ${PROJECT_SOURCE_DIR}/transport/command_channel.cpp
            ${PROJECT_SOURCE_DIR}/transport/protocol_extras.cpp
    LIBS tavix_platform)

# Device paths come from the system: what the session derives from them (the
# identity, the instance part, the ledger's entries) must survive any of them.
tavix_add_fuzzer(fuzz_calculator_paths
    SOURCES fuzz_calculator_paths.cpp
    LIBS tavix_session)
