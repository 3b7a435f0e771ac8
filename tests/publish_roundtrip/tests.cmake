# The round trip needs the launcher's patcher, the preferences file that keeps
# list serials, and the Windows build of the publishing tool, which it runs
# as a child process.
target_link_libraries(${target} PRIVATE vr_patcher vr_game)
add_dependencies(${target} veltrune-publish)
target_compile_definitions(${target} PRIVATE VR_PUBLISH_EXE="${CMAKE_BINARY_DIR}/tools/publish/veltrune-publish.exe")
