# The sysfs attribute parsing and device-path naming of the Linux disk system.
# Their sources are compiled into the target as well, so that libFuzzer's
# coverage instrumentation sees them (the tavix_platform archive is built
# without it); the archive still supplies the include path and the rest.
tavix_add_fuzzer(fuzz_sysfs
    SOURCES fuzz_sysfs.cpp
            ${PROJECT_SOURCE_DIR}/platform/posix/sysfs.cpp
            ${PROJECT_SOURCE_DIR}/platform/device_path.cpp
    LIBS tavix_platform)
