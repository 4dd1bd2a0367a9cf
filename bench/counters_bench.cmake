# The tight decision loop (bench/counters/) built five ways and timed side
# by side in one run: plain, gcc --coverage (atomic counters), clang-19's
# MC/DC coverage, qelcc (counters in the program) and qelcc --events. The
# qelcc builds need qelcc and the runtime; clang's variant is left out
# without clang-19.
if(TARGET qelcc AND TARGET qelcollect AND NOT QEL_SANITIZE)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/counters)
  set(src ${CMAKE_CURRENT_SOURCE_DIR}/counters/loop.c ${CMAKE_CURRENT_SOURCE_DIR}/counters/decide.c)
  set(cc ${CMAKE_C_COMPILER})
  find_program(QEL_CLANG19 clang-19)
  set(outputs ${dir}/plain ${dir}/gcov ${dir}/qelcc ${dir}/events)
  set(clang_cmd "")
  if(QEL_CLANG19)
    list(APPEND outputs ${dir}/clang)
    set(clang_cmd COMMAND ${QEL_CLANG19} -O2 -pthread -fprofile-instr-generate -fcoverage-mapping
                          -fcoverage-mcdc ${src} -o ${dir}/clang)
  endif()
  add_custom_command(
    OUTPUT ${outputs}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${dir}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${cc} -O2 -pthread ${src} -o ${dir}/plain
    COMMAND ${cc} -O2 -pthread --coverage -fprofile-update=atomic ${src} -o ${dir}/gcov
    ${clang_cmd}
    COMMAND $<TARGET_FILE:qelcc> --map-dir=${dir}/maps ${cc} -O2 -pthread ${src} -o ${dir}/qelcc
    COMMAND $<TARGET_FILE:qelcc> --events --map-dir=${dir}/maps-events ${cc} -O2 -pthread ${src}
            -o ${dir}/events
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    DEPENDS ${src} qelcc QELMQLib
    COMMENT "Building the tight-loop benchmark five ways")
  add_custom_target(counters_bench_programs DEPENDS ${outputs})
  add_executable(counters_bench counters_bench.cpp)
  target_link_libraries(counters_bench PRIVATE benchmark::benchmark PkgConfig::JSONCPP)
  add_dependencies(counters_bench counters_bench_programs qelcollect)
  target_compile_definitions(counters_bench PRIVATE
    QEL_LOOP_DIR="${dir}" QELCOLLECT="$<TARGET_FILE:qelcollect>"
    QEL_HAVE_CLANG=$<BOOL:${QEL_CLANG19}>)
  qel_warnings(counters_bench)
endif()
