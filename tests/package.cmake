# The manual page's lint and the Debian package (native Linux builds). Each test
# skips (exit 77) where its tools are missing.
find_program(BASH_PROGRAM bash REQUIRED)

add_test(NAME manual_page_lint
         COMMAND ${BASH_PROGRAM} ${CMAKE_CURRENT_SOURCE_DIR}/package/manual_page_test.sh
                 ${PROJECT_SOURCE_DIR}/docs/format149.1)
set_tests_properties(manual_page_lint PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 60)

if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  return()
endif()
if(FORMAT149_SANITIZE)
  # Its program needs the sanitizer runtimes and is a test build, not a product.
  add_test(NAME debian_package
           COMMAND sh -c "echo 'SKIPPED: the sanitized build is not packaged'; exit 77")
else()
  add_test(NAME debian_package
           COMMAND ${BASH_PROGRAM} ${CMAKE_CURRENT_SOURCE_DIR}/package/debian_package_test.sh
                   ${CMAKE_CPACK_COMMAND} ${PROJECT_BINARY_DIR}/CPackConfig.cmake ${PROJECT_VERSION}
                   ${PROJECT_SOURCE_DIR}/docs/format149.1 ${CMAKE_COMMAND} ${PROJECT_SOURCE_DIR} ${CMAKE_CXX_COMPILER})
endif()
set_tests_properties(debian_package PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600)
