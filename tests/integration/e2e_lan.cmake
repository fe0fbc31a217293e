# End-to-end tests of what a LAN sends beyond unicast (broadcast and group
# replies and traps, floods) through the SOAP service, in a private test
# network of two LANs. Skipped (77) where namespaces cannot be created.
add_test(NAME e2e_lan_traffic
         COMMAND ${FERRO_PYTHON} -B ${CMAKE_CURRENT_SOURCE_DIR}/integration/e2e_lan_traffic_test.py)
set_tests_properties(e2e_lan_traffic PROPERTIES
  ENVIRONMENT "FERRO_DIST=${FERRO_DIST}"
  SKIP_RETURN_CODE 77 TIMEOUT 600 LABELS "integration;netns")
