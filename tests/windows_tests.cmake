# The Windows checks themselves run under Wine (./run test windows); here only
# the choice of their path, which needs neither cross compiler nor Wine.
add_test(NAME windows_path_test COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/windows/path_test.sh)
set_tests_properties(windows_path_test PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 60)
