# Runs stack_overrun.exe under Wine: within its buffer it returns and says
# so; past it, the stack protector ends it before the function returns,
# with its message (an exit code alone could be any crash). The exit code
# is not part of the verdict: the protector's trap goes through Wine's
# debugger, which on a loaded machine has ended the process with 0 where
# it otherwise gives the exception's code. The protector writes to the console alone (CONOUT$), never
# to standard error, so the program runs on a terminal of its own
# (util-linux's script), which Wine's console draws on; its standard
# output goes to a file.
#   cmake -DWINE=<the toolchain's emulator, a list> -DPROGRAM=<stack_overrun.exe>
#         -P check_stack_protector.cmake
function(run_with length)
  set(output_file ${CMAKE_CURRENT_BINARY_DIR}/stack_overrun_${length}.txt)
  set(command "")
  foreach(word IN LISTS WINE PROGRAM length)
    string(REPLACE "'" "'\\''" word "${word}")
    string(APPEND command "'${word}' ")
  endforeach()
  execute_process(COMMAND script --quiet --return --command "${command} >'${output_file}'" /dev/null
    RESULT_VARIABLE code OUTPUT_VARIABLE console ERROR_QUIET)
  file(READ ${output_file} output)
  string(ASCII 27 escape)  # the terminal's control sequences, which Wine's console writes
  string(REGEX REPLACE "${escape}[[][0-9;?]*[A-Za-z]" "" console "${console}")
  set(code "${code}" PARENT_SCOPE)
  set(output "${output}" PARENT_SCOPE)
  set(console "${console}" PARENT_SCOPE)
endfunction()

run_with(16)
if(NOT code EQUAL 0 OR NOT output MATCHES "returned 120")
  message(FATAL_ERROR "within its buffer, stack_overrun did not return (exit ${code}):\n${output}")
endif()

run_with(64)
string(REGEX MATCH "[*]+ stack smashing detected [*]+" message "${console}")
if(output MATCHES "returned" OR NOT message)
  message(FATAL_ERROR "the overrun was not stopped by the stack protector (exit ${code}):\n"
    "console: ${console}\noutput: ${output}")
endif()
message(STATUS "stack_overrun 64: \"${message}\" on the console, exit ${code}, did not return")
