# format149 on a real floppy drive: the Linux kernel's floppy driver in QEMU,
# formatting a blank, a write-protected and an empty drive, and a medium
# changed mid-run; and a formatted diskette taken out and put back, then
# mounted and written with the README's steps. Each test is skipped where
# QEMU, busybox, the kernel or a tool it needs is missing;
# tests/floppy/fetch_kernel puts the kernel and its modules into
# FORMAT149_TEST_KERNEL_DIR (run-tests does).

find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(FORMAT149_TEST_KERNEL_DIR ${PROJECT_SOURCE_DIR}/build-kernel CACHE PATH
    "Folder holding vmlinuz, floppy.ko and the FAT modules for the floppy-drive tests")
foreach(floppy_case blank write-protected empty changed verify unreadable reinserted)
  add_test(NAME floppy_drive_${floppy_case}
           COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/floppy/floppy_drive_test.py ${floppy_case}
                   --format149 $<TARGET_FILE:format149> --kernel-dir ${FORMAT149_TEST_KERNEL_DIR})
  set_tests_properties(floppy_drive_${floppy_case} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 240
                       ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
endforeach()
