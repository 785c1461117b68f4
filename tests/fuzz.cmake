# The fuzz targets, each linking the libraries of the room it explores: built
# for libFuzzer in a fuzzing build (FORMAT149_FUZZ, which fuzz/run makes).
foreach(target answer_reader image_drive)
  add_executable(${target}_fuzz)
  target_link_options(${target}_fuzz PRIVATE -fsanitize=fuzzer)
endforeach()
target_sources(answer_reader_fuzz PRIVATE ${CMAKE_CURRENT_LIST_DIR}/run/answer_reader_fuzz.cpp)
target_link_libraries(answer_reader_fuzz PRIVATE format149_run)
target_sources(image_drive_fuzz PRIVATE ${CMAKE_CURRENT_LIST_DIR}/standin/image_drive_fuzz.cpp)
target_link_libraries(image_drive_fuzz PRIVATE format149_diskio format149_device format149_drives)
