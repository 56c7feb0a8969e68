# The simulated calculator takes whatever the updater writes: arbitrary command
# blocks and I/O sequences must never crash it or break its bookkeeping.
# The code under test is compiled into each fuzzer as well (the archive then
# adds nothing of it), so that libFuzzer sees its branches and not only ours.
set(_tavix_emulator_dir ${PROJECT_SOURCE_DIR}/emulator)
tavix_add_fuzzer(fuzz_calculator_commands
    SOURCES fuzz_calculator_commands.cpp
            ${_tavix_emulator_dir}/calculator.cpp ${_tavix_emulator_dir}/emulated_disk_system.cpp
    LIBS tavix_emulator)
# TAVIX_SIM_FAULTS comes from the user's environment.
tavix_add_fuzzer(fuzz_fault_list
    SOURCES fuzz_fault_list.cpp ${_tavix_emulator_dir}/simulation_settings.cpp
    LIBS tavix_emulator)
