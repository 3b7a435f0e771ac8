# Play and the self-update start a real stand-in for the game client and the
# updater.
add_dependencies(${target} fake_process)
target_compile_definitions(${target} PRIVATE VR_FAKE_PROCESS_EXE="$<TARGET_FILE:fake_process>")
# A read-only folder as the game folder: a real tiny file system, mounted by a
# native fixture for this suite only.
set(VR_BRIDGE_DISKS ${CMAKE_BINARY_DIR}/bridge-disks)
add_test(NAME bridge_disks_mount COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/support/small_disks.sh mount ${VR_BRIDGE_DISKS})
set_tests_properties(bridge_disks_mount PROPERTIES FIXTURES_SETUP bridge_disks TIMEOUT 60)
add_test(NAME bridge_disks_umount COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/support/small_disks.sh umount ${VR_BRIDGE_DISKS})
set_tests_properties(bridge_disks_umount PROPERTIES FIXTURES_CLEANUP bridge_disks TIMEOUT 60)
set_tests_properties(${dir} PROPERTIES FIXTURES_REQUIRED bridge_disks ENVIRONMENT VR_SMALL_DISKS=${VR_BRIDGE_DISKS})
