# Coverage reports: source maps, the coverage model, every output format
# checked by its real consumer, saved runs and thresholds.
if(TARGET qelcollect_core)
  set(QEL_REPORT_FIXTURE_DEF QEL_REPORT_FIXTURES="${CMAKE_CURRENT_SOURCE_DIR}/reports")
  qel_add_test(collector_coverage_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/collector_coverage_test.cpp
               LIBS qelcollect_core TIMEOUT 60 LABELS collector reports)
  target_compile_definitions(collector_coverage_test PRIVATE ${QEL_REPORT_FIXTURE_DEF})
  qel_add_test(collector_outputs_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/collector_outputs_test.cpp
               LIBS qelcollect_core PkgConfig::JSONCPP TIMEOUT 120 LABELS collector reports)
  target_compile_definitions(collector_outputs_test PRIVATE ${QEL_REPORT_FIXTURE_DEF})
  qel_add_test(collector_runs_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/collector_runs_test.cpp
               LIBS qelcollect_core TIMEOUT 120 LABELS collector reports)
  target_compile_definitions(collector_runs_test PRIVATE ${QEL_REPORT_FIXTURE_DEF}
    QELCOLLECT_EXE="$<TARGET_FILE:qelcollect>")
  add_dependencies(collector_runs_test qelcollect)
  qel_add_test(collector_binary_run_test
               SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/collector_binary_run_test.cpp
               LIBS qelcollect_core TIMEOUT 120 LABELS collector reports)
  target_compile_definitions(collector_binary_run_test PRIVATE ${QEL_REPORT_FIXTURE_DEF}
    QELCOLLECT_EXE="$<TARGET_FILE:qelcollect>")
  add_dependencies(collector_binary_run_test qelcollect)
  qel_add_test(collector_map_quick_test
               SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/collector_map_quick_test.cpp
               LIBS qelcollect_core TIMEOUT 60 LABELS collector reports)
  target_compile_definitions(collector_map_quick_test PRIVATE ${QEL_REPORT_FIXTURE_DEF})
  qel_add_test(collector_html_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/collector_html_test.cpp
               LIBS qelcollect_core TIMEOUT 180 LABELS collector reports)
  target_compile_definitions(collector_html_test PRIVATE ${QEL_REPORT_FIXTURE_DEF})
  qel_add_test(collector_tests_for_test
               SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/collector_tests_for_test.cpp
               LIBS qelcollect_core PkgConfig::JSONCPP TIMEOUT 120 LABELS collector reports)
  target_compile_definitions(collector_tests_for_test PRIVATE ${QEL_REPORT_FIXTURE_DEF}
    QELCOLLECT_EXE="$<TARGET_FILE:qelcollect>")
  add_dependencies(collector_tests_for_test qelcollect)
  qel_add_test(collector_count_lines_test
               SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/collector_count_lines_test.cpp
               LIBS qelcollect_core TIMEOUT 60 LABELS collector reports)
  target_compile_definitions(collector_count_lines_test PRIVATE ${QEL_REPORT_FIXTURE_DEF})
  qel_add_test(collector_scope_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/collector_scope_test.cpp
               LIBS qelcollect_core PkgConfig::JSONCPP TIMEOUT 120 LABELS collector reports)
  target_compile_definitions(collector_scope_test PRIVATE ${QEL_REPORT_FIXTURE_DEF}
    QELCOLLECT_EXE="$<TARGET_FILE:qelcollect>")
  add_dependencies(collector_scope_test qelcollect)

  if(TARGET QELMQLib)
    # gate.c instrumented by hand, with test cases through the C API.
    add_executable(qel_gate_cases ${CMAKE_CURRENT_SOURCE_DIR}/programs/gate_cases.c)
    target_link_libraries(qel_gate_cases PRIVATE QELMQLib)
    qel_warnings(qel_gate_cases)
    qel_add_test(attribution_e2e_test
                 SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/attribution_e2e_test.cpp
                 LIBS PkgConfig::JSONCPP PORTS TIMEOUT 240 LABELS collector reports)
    target_compile_definitions(attribution_e2e_test PRIVATE ${QEL_REPORT_FIXTURE_DEF}
      QELCOLLECT_EXE="$<TARGET_FILE:qelcollect>" QEL_GATE_EXE="$<TARGET_FILE:qel_gate_cases>"
      QEL_CTEST="${CMAKE_CTEST_COMMAND}")
    add_dependencies(attribution_e2e_test qelcollect qel_gate_cases)
    if(TARGET orrin_drive_cov)
      target_compile_definitions(attribution_e2e_test PRIVATE
        ORRIN_DRIVE_COV_EXE="$<TARGET_FILE:orrin_drive_cov>"
        QEL_SAMPLE_MAPS="${PROJECT_BINARY_DIR}/qelmap/sample")
      add_dependencies(attribution_e2e_test orrin_drive_cov)
    endif()
  endif()
  if(TARGET qel_demo_hand)
    qel_add_test(reports_e2e_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/reports_e2e_test.cpp
                 PORTS TIMEOUT 240 LABELS collector reports)
    target_compile_definitions(reports_e2e_test PRIVATE ${QEL_REPORT_FIXTURE_DEF}
      QELCOLLECT_EXE="$<TARGET_FILE:qelcollect>" QEL_DEMO_EXE="$<TARGET_FILE:qel_demo_hand>"
      QEL_EXAMPLES="${PROJECT_SOURCE_DIR}/examples")
    add_dependencies(reports_e2e_test qelcollect qel_demo_hand)
  endif()
endif()
