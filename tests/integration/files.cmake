# Saved device lists, sample requests and the save dialog through the SOAP
# service: the server in a private network namespace, and the test in a
# private mount namespace so it may mount small file systems (full,
# read-only) that vanish with it.
add_test(NAME file_operations
         COMMAND ${FERRO_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/integration/run_in_netns.py
                 --stub 10.250.0.1/24
                 unshare --mount --propagation private
                 ${FERRO_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/integration/file_operations_test.py)
set_tests_properties(file_operations PROPERTIES
  ENVIRONMENT "FERRO_DIST=${FERRO_DIST};PYTHONDONTWRITEBYTECODE=1"
  SKIP_RETURN_CODE 77 TIMEOUT 300 LABELS integration)
