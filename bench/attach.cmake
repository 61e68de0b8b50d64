# Adds the benchmark programs to a build of the project whose top-level CMakeLists.txt does not list
# bench/ (yet): run_bench.py passes this file as CMAKE_PROJECT_Shelvio_INCLUDE, and bench's list
# file is read once the top level has defined every library. A deferred call may not add a
# directory, so the list file is included, which is why it names its sources by full path.
set(_shelvio_bench_list "${CMAKE_CURRENT_LIST_DIR}/CMakeLists.txt")
cmake_language(DEFER DIRECTORY "${CMAKE_SOURCE_DIR}" CALL include "${_shelvio_bench_list}")
