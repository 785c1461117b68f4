# The manual page's lint. Skips (exit 77) where groff or mandoc is missing.
find_program(BASH_PROGRAM bash REQUIRED)

add_test(NAME manual_page_lint
         COMMAND ${BASH_PROGRAM} ${CMAKE_CURRENT_SOURCE_DIR}/package/manual_page_test.sh
                 ${PROJECT_SOURCE_DIR}/docs/format149.1)
set_tests_properties(manual_page_lint PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 60)

