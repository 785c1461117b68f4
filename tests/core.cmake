# Unit tests of the volume images, the disk operations and the console helpers,
# the virtual drive's own tests, and the process-level runs of the program.

# The disk operations against a recording device.
add_executable(format149_unit_tests
  unit/images_test.cpp
  unit/disk_service_test.cpp
  unit/console_test.cpp
  unit/stamp_test.cpp
  unit/recording_device.cpp)
target_link_libraries(format149_unit_tests PRIVATE format149_run format149_diskio GTest::gtest_main)
gtest_discover_tests(format149_unit_tests)

# The virtual drive, driven by register records.
add_executable(virtual_drive_tests unit/virtual_drive_test.cpp)
target_link_libraries(virtual_drive_tests PRIVATE format149_diskio format149_device GTest::gtest_main)
gtest_discover_tests(virtual_drive_tests)

# The built program with piped input on temporary images.
find_program(BASH_PROGRAM bash REQUIRED)
add_test(NAME format_run_process COMMAND ${BASH_PROGRAM} ${CMAKE_CURRENT_SOURCE_DIR}/process/format_run_test.sh
         $<TARGET_FILE:format149>)
set_tests_properties(format_run_process PROPERTIES TIMEOUT 300)
