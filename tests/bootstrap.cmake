# Tests of the boot-sector bootstrap: in-process on a stand-in PC (Unicorn),
# and booted by a real BIOS (SeaBIOS in QEMU).

find_package(PkgConfig REQUIRED)
pkg_check_modules(UNICORN REQUIRED IMPORTED_TARGET unicorn)

add_executable(bootstrap_boot_tests bootstrap/bootstrap_boot_test.cpp bootstrap/boot_machine.cpp)
target_link_libraries(bootstrap_boot_tests PRIVATE format149_volume PkgConfig::UNICORN GTest::gtest_main)
gtest_discover_tests(bootstrap_boot_tests TEST_PREFIX "bootstrap." PROPERTIES TIMEOUT 60)

# Booting a disk that format149 wrote in QEMU (SeaBIOS). Skipped where QEMU is
# not installed; needs mtools for the stand-in system files.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
foreach(boot_case fresh system-file read-error)
  add_test(NAME bootstrap_qemu_${boot_case}
           COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/bootstrap/qemu_boot_test.py ${boot_case}
                   --format149 $<TARGET_FILE:format149> --nasm ${FORMAT149_NASM}
                   --stand-in ${CMAKE_CURRENT_SOURCE_DIR}/bootstrap/stand_in_system.asm)
  set_tests_properties(bootstrap_qemu_${boot_case} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 180)
endforeach()
