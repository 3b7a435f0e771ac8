# A full disk and a read-only folder are real tiny file systems, mounted by a
# native fixture for this suite only.
set(VR_PATCHER_DISKS ${CMAKE_BINARY_DIR}/patcher-disks)
add_test(NAME patcher_disks_mount COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/support/small_disks.sh mount ${VR_PATCHER_DISKS})
set_tests_properties(patcher_disks_mount PROPERTIES FIXTURES_SETUP patcher_disks TIMEOUT 60)
add_test(NAME patcher_disks_umount COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/support/small_disks.sh umount ${VR_PATCHER_DISKS})
set_tests_properties(patcher_disks_umount PROPERTIES FIXTURES_CLEANUP patcher_disks TIMEOUT 60)
set_tests_properties(${dir} PROPERTIES FIXTURES_REQUIRED patcher_disks ENVIRONMENT VR_SMALL_DISKS=${VR_PATCHER_DISKS})
