# Changing agents' settings end to end through the SOAP service, with the
# simulated agents in a private test network (skipped, 77, where namespaces
# cannot be created). The time-out case waits out the 50-second limit once,
# so it is a test of its own that runs beside the others.
foreach(part IN ITEMS main timeout)
  set(name e2e_device_set)
  set(args)
  if(part STREQUAL "timeout")
    set(name e2e_device_set_timeout)
    set(args timeout)
  endif()
  add_test(NAME ${name}
           COMMAND ${FERRO_PYTHON} -B ${CMAKE_CURRENT_SOURCE_DIR}/integration/e2e_device_set_test.py ${args})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "FERRO_DIST=${FERRO_DIST}"
    SKIP_RETURN_CODE 77 TIMEOUT 600 LABELS "integration;netns")
endforeach()
