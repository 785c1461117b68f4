# Unit tests of the volume images, the disk operations and the console helpers,
# the stand-in device's and its drives' own tests, and the process-level runs of
# the program.

# The disk operations against a recording device.
add_executable(format149_unit_tests
  unit/images_test.cpp
  unit/disk_service_test.cpp
  unit/console_test.cpp
  unit/stamp_test.cpp
  unit/recording_device.cpp)
target_link_libraries(format149_unit_tests PRIVATE format149_run format149_diskio GTest::gtest_main)
gtest_discover_tests(format149_unit_tests)

# The stand-in device's decoder before drives that record what they are asked.
add_executable(stand_in_device_tests unit/stand_in_device_test.cpp ${PROJECT_SOURCE_DIR}/standin/device.cpp)
target_link_libraries(stand_in_device_tests PRIVATE format149_diskio GTest::gtest_main)
gtest_discover_tests(stand_in_device_tests)

# The image drive, driven by register records through the stand-in device.
add_executable(image_drive_tests unit/image_drive_test.cpp)
target_link_libraries(image_drive_tests PRIVATE format149_diskio format149_device GTest::gtest_main)
gtest_discover_tests(image_drive_tests)

# The built program with piped input on temporary images.
find_program(BASH_PROGRAM bash REQUIRED)
add_test(NAME format_run_process COMMAND ${BASH_PROGRAM} ${CMAKE_CURRENT_SOURCE_DIR}/process/format_run_test.sh
         $<TARGET_FILE:format149>)
set_tests_properties(format_run_process PROPERTIES TIMEOUT 300)
