# Server-level tests of the HTTP front and the SOAP contract. Each runs its
# own server inside a private network namespace, so they may run in parallel.
foreach(name soap_contract http_front front_limits browser)
  add_test(NAME ${name}
           COMMAND ${FERRO_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/integration/run_in_netns.py
                   --stub 10.250.0.1/24
                   ${FERRO_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/integration/${name}_test.py)
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "FERRO_DIST=${FERRO_DIST};PYTHONDONTWRITEBYTECODE=1"
    SKIP_RETURN_CODE 77 TIMEOUT 300 LABELS integration)
endforeach()
