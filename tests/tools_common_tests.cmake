# The libraries the tools share (tools/common/): the XML writer and its
# escaping rule, JSON with its rule for bytes, the command lines.
if(TARGET qeltools_json)
  qel_add_test(tools_common_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tools_common_test.cpp
               LIBS qeltools_json qeltools_cli TIMEOUT 60 LABELS tools)
endif()

# Shell patterns: one matcher for --filter on every system.
qel_add_test(tools_pattern_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tools_pattern_test.cpp
             LIBS qeltools_text TIMEOUT 60 LABELS tools)

# Starting programs: the tools' and the tests' one way.
qel_add_test(tools_process_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tools_process_test.cpp
             LIBS qeltools_process TIMEOUT 60 LABELS tools)
