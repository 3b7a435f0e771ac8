# The round trip needs the launcher's patcher and the Windows build of the
# publishing tool, which it runs as a child process; the trust tests also
# drive the bridge, whose self-update starts a recording stand-in updater.
target_link_libraries(${target} PRIVATE vr_patcher vr_bridge vr_game)
add_dependencies(${target} veltrune-publish fake_process)
file(RELATIVE_PATH VR_PUBLISH_FROM_TESTS ${CMAKE_CURRENT_BINARY_DIR} ${CMAKE_BINARY_DIR}/tools/publish/veltrune-publish.exe)
target_compile_definitions(${target} PRIVATE VR_PUBLISH_FROM_TESTS="${VR_PUBLISH_FROM_TESTS}"
                           VR_FAKE_PROCESS_EXE="$<TARGET_FILE:fake_process>")
