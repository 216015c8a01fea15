# Read by CTest after one GoogleTest binary's discovered cases (kv_test writes
# the variables): labels and environment of each case. Lists do not pass
# through gtest_discover_tests' PROPERTIES, so they are set here.
#   kv_tests         the cases
#   kv_label         the binary's label
#   kv_thread_tests  suites or Suite.Case names that start threads: label "threads" too
#   kv_environment   NAME=VALUE list
foreach(test IN LISTS kv_tests)
  string(REGEX REPLACE "\\..*" "" suite "${test}")
  list(FIND kv_thread_tests "${suite}" suite_starts_threads)
  list(FIND kv_thread_tests "${test}" case_starts_threads)
  set(labels ${kv_label})
  if(suite_starts_threads GREATER -1 OR case_starts_threads GREATER -1)
    list(APPEND labels threads)
  endif()
  set_tests_properties("${test}" PROPERTIES LABELS "${labels}" ENVIRONMENT "${kv_environment}")
endforeach()
