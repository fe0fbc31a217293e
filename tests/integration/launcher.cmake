# The loader and the Ferroview launcher, each run inside a private network
# namespace so the servers they start listen on the fixed ports of that
# namespace alone.
add_test(NAME launcher
         COMMAND ${FERRO_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/integration/run_in_netns.py
                 --stub 10.250.0.1/24
                 ${FERRO_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/integration/launcher_test.py)
set_tests_properties(launcher PROPERTIES
  ENVIRONMENT "FERRO_DIST=${FERRO_DIST};PYTHONDONTWRITEBYTECODE=1"
  SKIP_RETURN_CODE 77 TIMEOUT 300 LABELS integration)
