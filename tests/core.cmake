# Unit tests of the volume images, the disk operations and the console helpers,
# the stand-in device's and its drives' own tests, and the process-level runs of
# the program.

# The disk operations against a recording device.
add_executable(format149_unit_tests
  unit/images_test.cpp
  unit/disk_service_test.cpp
  unit/console_test.cpp
  unit/stamp_test.cpp
  unit/verify_pass_test.cpp
  unit/recording_device.cpp)
target_link_libraries(format149_unit_tests PRIVATE format149_run format149_diskio GTest::gtest_main)
target_compile_definitions(format149_unit_tests PRIVATE FORMAT149_GOLDEN_DIR="${CMAKE_CURRENT_SOURCE_DIR}/golden")
gtest_discover_tests(format149_unit_tests)

# The stand-in device's decoder before drives that record what they are asked.
add_executable(stand_in_device_tests unit/stand_in_device_test.cpp)
target_link_libraries(stand_in_device_tests PRIVATE format149_diskio format149_device GTest::gtest_main)
gtest_discover_tests(stand_in_device_tests)

# The image drive, driven by register records through the stand-in device.
add_executable(image_drive_tests unit/image_drive_test.cpp)
target_link_libraries(image_drive_tests PRIVATE format149_diskio format149_device format149_drives GTest::gtest_main)
gtest_discover_tests(image_drive_tests)

# The built program with piped input on temporary images.
find_program(BASH_PROGRAM bash REQUIRED)
add_test(NAME format_run_process COMMAND ${BASH_PROGRAM} ${CMAKE_CURRENT_SOURCE_DIR}/process/format_run_test.sh
         $<TARGET_FILE:format149>)
set_tests_properties(format_run_process PROPERTIES TIMEOUT 300)
if(FORMAT149_SANITIZE)
  # It preloads libfaketime ahead of the sanitizer runtime.
  set_property(TEST format_run_process APPEND PROPERTY ENVIRONMENT ASAN_OPTIONS=verify_asan_link_order=0)
endif()

# The console and the exit status: non-blocking input, failed steps, the command line.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME console_status_process
         COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/process/console_status_test.py
                 $<TARGET_FILE:format149> ${PROJECT_VERSION})
set_tests_properties(console_status_process PROPERTIES TIMEOUT 120 ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)

# The built program on targets that are no plain image: kernel pseudo files, a
# write-protected file, the console's own file, a new image under a tight umask,
# documents and diskette images of other formats, a device that is not there.
foreach(case pseudo protected console umask documents devices links)
  add_test(NAME targets_${case} COMMAND ${BASH_PROGRAM} ${CMAKE_CURRENT_SOURCE_DIR}/process/targets_test.sh ${case}
           $<TARGET_FILE:format149>)
  set_tests_properties(targets_${case} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120)
endforeach()
