# Play and the self-update start a real stand-in for the game client and the
# updater.
add_dependencies(${target} fake_process)
target_compile_definitions(${target} PRIVATE VR_FAKE_PROCESS_EXE="$<TARGET_FILE:fake_process>")
