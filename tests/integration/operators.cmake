# The operators' side: the scripts' root check, the test network's run mode
# (signals, clean-up) and the install tree. Namespace parts are skipped (77) where
# namespaces cannot be created.
add_test(NAME operator_scripts
         COMMAND ${FERRO_PYTHON} -B ${CMAKE_CURRENT_SOURCE_DIR}/integration/operator_scripts_test.py)
set_tests_properties(operator_scripts PROPERTIES
  ENVIRONMENT "FERRO_BUILD=${CMAKE_BINARY_DIR}"
  SKIP_RETURN_CODE 77 TIMEOUT 300 LABELS "integration;netns")

# ferroctl, the installed copy, against a server with simulated agents in a
# test network.
add_test(NAME ferroctl
         COMMAND ${FERRO_PYTHON} -B ${CMAKE_CURRENT_SOURCE_DIR}/integration/ferroctl_test.py)
set_tests_properties(ferroctl PROPERTIES
  ENVIRONMENT "FERRO_DIST=${FERRO_DIST}"
  SKIP_RETURN_CODE 77 TIMEOUT 600 LABELS "integration;netns")
