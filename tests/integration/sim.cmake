# The agent simulator's own tests: its packet format and answers against
# hand-written bytes, how the namespace tests read their helpers' output, and
# a smoke test in a namespace network (skipped, exit code 77, where
# namespaces cannot be created).
add_test(NAME sim_codec
         COMMAND ${FERRO_PYTHON} -B -m unittest test_wire test_agent test_child_output
         WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/tests/sim)
set_tests_properties(sim_codec PROPERTIES LABELS "sim" TIMEOUT 60)

add_test(NAME sim_netns_smoke
         COMMAND ${FERRO_PYTHON} -B ${CMAKE_SOURCE_DIR}/tests/sim/test_netns_smoke.py)
set_tests_properties(sim_netns_smoke PROPERTIES LABELS "sim;netns" TIMEOUT 180
                     SKIP_RETURN_CODE 77)
