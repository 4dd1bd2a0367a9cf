# qelcc: C fixtures built plain and instrumented, run under the collector
# (exact counts against the source map), counters across threads and
# processes, and the launcher's command-line
# behaviour (pass-through, dependency files, bad input, unit ids, the
# compiler's answers kept between runs, libclang loaded only when needed).
if(TARGET qel_map_section)
  qel_add_test(qelcc_wire_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/qelcc/qelcc_wire_test.cpp
               ${PROJECT_SOURCE_DIR}/tools/qelcc/result_wire.cpp LABELS qelcc)
  target_include_directories(qelcc_wire_test PRIVATE ${PROJECT_SOURCE_DIR}/tools/qelcc)
  qel_add_test(map_section_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/qelcc/map_section_test.cpp
               LIBS PkgConfig::JSONCPP qel_map_section LABELS qelcc)
endif()
if(TARGET qelcc)
  qel_add_test(map_file_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/qelcc/map_file_test.cpp
               ${PROJECT_SOURCE_DIR}/tools/qelcc/map_file.cpp
               ${PROJECT_SOURCE_DIR}/tools/qelcc/command_line.cpp
               ${PROJECT_SOURCE_DIR}/tools/qelcc/process.cpp
               LIBS qel_map_section qeltools_process LABELS qelcc)
  target_include_directories(map_file_test PRIVATE ${PROJECT_SOURCE_DIR}/tools/qelcc)
  qel_add_test(line_align_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/qelcc/line_align_test.cpp
               ${PROJECT_SOURCE_DIR}/tools/qelcc/line_align.cpp LABELS qelcc)
  target_include_directories(line_align_test PRIVATE ${PROJECT_SOURCE_DIR}/tools/qelcc)
  qel_add_test(diagnostics_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/qelcc/diagnostics_test.cpp
               ${PROJECT_SOURCE_DIR}/tools/qelcc/diagnostics.cpp LABELS qelcc)
  target_include_directories(diagnostics_test PRIVATE ${PROJECT_SOURCE_DIR}/tools/qelcc)
  qel_add_test(counter_tables_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/qelcc/counter_tables_test.cpp
               ${PROJECT_SOURCE_DIR}/tools/qelcc/probe_text.cpp LIBS qel_protocol LABELS qelcc)
  target_include_directories(counter_tables_test PRIVATE ${PROJECT_SOURCE_DIR}/tools/qelcc)
  qel_add_test(mapdir_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/qelcc/mapdir_test.cpp
               ${PROJECT_SOURCE_DIR}/tools/qelcc/mapdir.cpp LIBS qeltools_json LABELS qelcc)
  target_include_directories(mapdir_test PRIVATE ${PROJECT_SOURCE_DIR}/tools/qelcc)
  target_compile_definitions(mapdir_test PRIVATE
                             TESTS_SOURCE_FILE="${CMAKE_CURRENT_SOURCE_DIR}/qelcc/mapdir_test.cpp")
endif()
if(TARGET qel_cparse)
  qel_add_test(cparse_location_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/cparse/cparse_location_test.cpp
               LIBS qel_cparse LABELS qelcc)
endif()
if(TARGET qelcc AND TARGET qelcollect)
  set(QEL_FIXTURE_FLAGS "")
  if(QEL_SANITIZE STREQUAL "address")
    set(QEL_FIXTURE_FLAGS "-fsanitize=address,undefined")
  elseif(QEL_SANITIZE STREQUAL "thread")
    set(QEL_FIXTURE_FLAGS "-fsanitize=thread")
  endif()
  foreach(t qelcc_fixture_test qelcc_cli_test qelcc_mcdc_test qelcc_build_test
            qelcc_counters_test qelcc_collector_maps_test qelcc_probe_cache_test
            qelcc_server_test)
    qel_add_test(${t} SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/qelcc/${t}.cpp
                 LIBS PkgConfig::JSONCPP qel_map_section PORTS TIMEOUT 600 LABELS qelcc)
    target_compile_definitions(${t} PRIVATE
      QELCC_EXE="$<TARGET_FILE:qelcc>"
      QELCOLLECT_EXE="$<TARGET_FILE:qelcollect>"
      QELCC_FIXTURES="${CMAKE_CURRENT_SOURCE_DIR}/qelcc"
      QEL_FIXTURE_FLAGS="${QEL_FIXTURE_FLAGS}")
    add_dependencies(${t} qelcc qelcollect QELMQLib)
  endforeach()
  target_compile_definitions(qelcc_build_test PRIVATE QELMQLIB_FILE="$<TARGET_FILE:QELMQLib>")
  # The library qelcc opens, to hide it from a run.
  file(REAL_PATH ${QEL_LIBCLANG} _qel_libclang_file)
  target_compile_definitions(qelcc_cli_test PRIVATE QEL_LIBCLANG_FILE="${_qel_libclang_file}")
  if(TARGET orrin_drive_cov)
    qel_add_test(qelcc_demo_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/qelcc/qelcc_demo_test.cpp
                 LIBS PkgConfig::JSONCPP qel_map_section PORTS TIMEOUT 300 LABELS qelcc)
    target_compile_definitions(qelcc_demo_test PRIVATE
      QELCOLLECT_EXE="$<TARGET_FILE:qelcollect>"
      ORRIN_DRIVE_EXE="$<TARGET_FILE:orrin_drive>"
      ORRIN_DRIVE_COV_EXE="$<TARGET_FILE:orrin_drive_cov>"
      QEL_DEMO_MAPS="${PROJECT_BINARY_DIR}/qelmap/sample")
    add_dependencies(qelcc_demo_test qelcollect orrin_drive orrin_drive_cov)
  endif()
endif()
