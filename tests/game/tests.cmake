# The client and updater tests start a real stand-in executable.
add_dependencies(${target} fake_process)
target_compile_definitions(${target} PRIVATE VR_FAKE_PROCESS_EXE="$<TARGET_FILE:fake_process>")
