# End-to-end benchmark programs, run by bench/run:
#   korvex_gen    lays out the input files of a synthetic installation
#   korvex_floor  reads the database files and writes the production
#                 schedule's bytes: the least a build can do
# Neither needs the system's libraries.
add_executable(korvex_gen ${CMAKE_CURRENT_LIST_DIR}/gen.cpp)
add_executable(korvex_floor ${CMAKE_CURRENT_LIST_DIR}/floor.cpp)

# The end-to-end tests load a generated installation: build the generator
# with them. The tests are added after this file is read, hence the deferral
# to the end of the top-level directory.
function(_korvex_gen_test_dependency)
  if(TARGET test_e2e)
    add_dependencies(test_e2e korvex_gen)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL _korvex_gen_test_dependency)
