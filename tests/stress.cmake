# Stress tests: the program on a real terminal, under file-system faults, with
# a failing console and under valgrind; and the fuzz targets' seed corpora
# replayed as regression tests (fuzzing itself is fuzz/run).
#
# A test that needs a tool this machine lacks says which and is skipped
# (exit code 77).

# The fuzz targets, driven once over each seed of their room's corpus instead
# of by libFuzzer.
add_executable(answer_reader_replay run/answer_reader_fuzz.cpp support/replay_main.cpp)
target_link_libraries(answer_reader_replay PRIVATE format149_run)
add_executable(image_drive_replay standin/image_drive_fuzz.cpp support/replay_main.cpp)
target_link_libraries(image_drive_replay PRIVATE format149_diskio format149_device format149_drives)

foreach(target answer_reader image_drive)
  set(room standin)
  if(target STREQUAL "answer_reader")
    set(room run)
  endif()
  file(GLOB seeds CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${room}/corpus/*)
  add_test(NAME fuzz_corpus_${target} COMMAND ${target}_replay ${seeds})
  set_tests_properties(fuzz_corpus_${target} PROPERTIES TIMEOUT 120)
endforeach()

find_package(Python3 COMPONENTS Interpreter)
set(FORMAT149_STRESS_TESTS terminal file_size_limit full_tmpfs console_faults valgrind)
if(NOT Python3_Interpreter_FOUND)
  foreach(name ${FORMAT149_STRESS_TESTS})
    add_test(NAME stress_${name} COMMAND sh -c "echo 'SKIPPED: python3 is not installed'; exit 77")
    set_tests_properties(stress_${name} PROPERTIES SKIP_RETURN_CODE 77)
  endforeach()
  return()
endif()

set(FORMAT149_STRESS_BUILD_KIND "plain")
if(FORMAT149_SANITIZE)
  set(FORMAT149_STRESS_BUILD_KIND "sanitized")
endif()

foreach(name ${FORMAT149_STRESS_TESTS})
  add_test(NAME stress_${name}
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/stress/${name}_test.py
                   $<TARGET_FILE:format149> ${FORMAT149_STRESS_BUILD_KIND})
  set_tests_properties(stress_${name} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300
                       ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
endforeach()
# The terminal and valgrind runs are slow beside the others; nothing here
# shares files, so all may run in parallel.
set_tests_properties(stress_valgrind PROPERTIES TIMEOUT 600)
