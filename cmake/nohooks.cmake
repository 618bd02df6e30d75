# Fails when the shipped library LIB carries a test hook (plat::testing,
# testing_hooks or a *_testhook function): they belong to the test archive
# only. Run as
#   cmake -DNM=<nm> -DLIB=<library> -P nohooks.cmake
execute_process(COMMAND ${NM} ${LIB} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} ${LIB} failed (${rc})")
endif()
string(REGEX MATCHALL "[^\n]*(4plat7testing|testing_hooks|AdoptPipeConnection)[^\n]*" hooks "${symbols}")
if(hooks)
  list(JOIN hooks "\n" text)
  message(FATAL_ERROR "${LIB} carries test hooks:\n${text}")
endif()
