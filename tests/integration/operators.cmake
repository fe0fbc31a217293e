# The operators' side: the scripts' root check, the test network's run mode
# (signals, clean-up) and the install tree. Namespace parts are skipped (77) where
# namespaces cannot be created.
add_test(NAME operator_scripts
         COMMAND ${FERRO_PYTHON} -B ${CMAKE_CURRENT_SOURCE_DIR}/integration/operator_scripts_test.py)
set_tests_properties(operator_scripts PROPERTIES
  ENVIRONMENT "FERRO_BUILD=${CMAKE_BINARY_DIR}"
  SKIP_RETURN_CODE 77 TIMEOUT 300 LABELS "integration;netns")
