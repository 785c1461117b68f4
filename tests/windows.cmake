# The Windows executables: cross-built with MinGW-w64 beside this build, the
# 32-bit one's PE header and imports checked, its release archive made twice by
# cpack, the 64-bit one run under Wine, and the 32-bit one under 32-bit Wine as
# an NT-family system and as Windows 95, 98 and ME.
# Each test skips (exit 77) where the compilers, their objdump or Wine are missing.
# Registered in native Linux builds only.
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  return()
endif()

find_program(BASH_PROGRAM bash REQUIRED)

set(FORMAT149_WINDOWS_TEST ${CMAKE_CURRENT_SOURCE_DIR}/windows/windows_build_test.sh)
set(FORMAT149_WINDOWS_BUILD ${CMAKE_CURRENT_BINARY_DIR}/windows)

add_test(NAME windows_cross_build
         COMMAND ${BASH_PROGRAM} ${FORMAT149_WINDOWS_TEST} build ${PROJECT_SOURCE_DIR} ${FORMAT149_WINDOWS_BUILD}
                 ${CMAKE_COMMAND} ${CMAKE_GENERATOR})
set_tests_properties(windows_cross_build PROPERTIES
                     FIXTURES_SETUP windows_executables SKIP_RETURN_CODE 77 TIMEOUT 600)

add_test(NAME windows_win98_pe_imports
         COMMAND ${BASH_PROGRAM} ${FORMAT149_WINDOWS_TEST} pe-imports ${FORMAT149_WINDOWS_BUILD}/win32/format149.exe
                 ${CMAKE_CURRENT_SOURCE_DIR}/windows/win98_imports.txt ${FORMAT149_WINDOWS_BUILD}/win64/format149.exe)

add_test(NAME windows_wine_confirmed_run
         COMMAND ${BASH_PROGRAM} ${FORMAT149_WINDOWS_TEST} wine-confirmed ${FORMAT149_WINDOWS_BUILD}/win64/format149.exe
                 $<TARGET_FILE:format149>)

add_test(NAME windows_wine_declined_run
         COMMAND ${BASH_PROGRAM} ${FORMAT149_WINDOWS_TEST} wine-declined ${FORMAT149_WINDOWS_BUILD}/win64/format149.exe)

set_tests_properties(windows_win98_pe_imports windows_wine_confirmed_run windows_wine_declined_run PROPERTIES
                     FIXTURES_REQUIRED windows_executables SKIP_RETURN_CODE 77 TIMEOUT 600)

# cpack in two clean 32-bit build folders; the archive of the first is run below.
add_test(NAME windows_release_archive
         COMMAND ${BASH_PROGRAM} ${FORMAT149_WINDOWS_TEST} release ${PROJECT_SOURCE_DIR} ${FORMAT149_WINDOWS_BUILD}
                 ${PROJECT_VERSION} ${CMAKE_COMMAND} ${CMAKE_CPACK_COMMAND} ${CMAKE_GENERATOR})
set_tests_properties(windows_release_archive PROPERTIES
                     FIXTURES_SETUP windows_release SKIP_RETURN_CODE 77 TIMEOUT 600)

add_test(NAME windows_wine_win9x_runs
         COMMAND ${BASH_PROGRAM} ${FORMAT149_WINDOWS_TEST} wine-win9x ${FORMAT149_WINDOWS_BUILD}/win32/format149.exe
                 $<TARGET_FILE:format149>
                 ${FORMAT149_WINDOWS_BUILD}/release-1/format149-${PROJECT_VERSION}-win32.zip ${CMAKE_COMMAND})
set_tests_properties(windows_wine_win9x_runs PROPERTIES
                     FIXTURES_REQUIRED "windows_executables;windows_release" SKIP_RETURN_CODE 77 TIMEOUT 600)
