# mirvo_fuzz_target(<name> SOURCE <file> LIBS <targets...>)
#
# Every fuzz target is one LLVMFuzzerTestOneInput. It always becomes a CTest
# test (label "fuzz") that feeds it the checked-in inputs in corpus/ and a
# seeded run of generated ones, with any compiler. With clang and
# -DMIRVO_LIBFUZZER=ON it also becomes a libFuzzer program, fuzz_<name>;
# configure that build with -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link so
# the libraries carry coverage, and usually -DMIRVO_SANITIZE=address,undefined.
option(MIRVO_LIBFUZZER "Build libFuzzer programs for the fuzz targets (clang only)" OFF)
set(MIRVO_FUZZ_REPLAY_RUNS 20000 CACHE STRING "Generated inputs per fuzz target in the CTest run")

function(mirvo_fuzz_target name)
  cmake_parse_arguments(ARG "" "SOURCE" "LIBS" ${ARGN})
  set(common ${PROJECT_SOURCE_DIR}/fuzz/common)

  add_executable(fuzz_${name}_replay ${ARG_SOURCE} ${common}/replay_main.cpp)
  target_include_directories(fuzz_${name}_replay PRIVATE ${common})
  target_link_libraries(fuzz_${name}_replay PRIVATE ${ARG_LIBS})
  add_test(NAME fuzz_${name}
           COMMAND fuzz_${name}_replay --runs ${MIRVO_FUZZ_REPLAY_RUNS} --seed 1
                   ${CMAKE_CURRENT_SOURCE_DIR}/corpus)
  set_tests_properties(fuzz_${name} PROPERTIES LABELS fuzz TIMEOUT 300)

  if(MIRVO_LIBFUZZER)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
      message(FATAL_ERROR "MIRVO_LIBFUZZER needs clang (CXX=clang++)")
    endif()
    add_executable(fuzz_${name} ${ARG_SOURCE})
    target_include_directories(fuzz_${name} PRIVATE ${common})
    target_compile_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(fuzz_${name} PRIVATE ${ARG_LIBS})
  endif()
endfunction()
