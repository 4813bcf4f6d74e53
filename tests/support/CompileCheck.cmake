# Compiles one source for syntax only and checks the outcome:
#   cmake -DCOMPILER=c++ -DSOURCE=file.cpp -DINCLUDE=dir -DDEFINE=NAME -DEXPECT=success|failure
#         [-DMESSAGE=regex] -P CompileCheck.cmake
# With EXPECT=failure the compilation must fail and its output match MESSAGE, so that a
# source failing for any other reason (a missing header, a typo) does not count.
foreach(variable COMPILER SOURCE INCLUDE EXPECT)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "CompileCheck: ${variable} is not set")
    endif()
endforeach()
set(definitions)
if(DEFINE)
    set(definitions "-D${DEFINE}")
endif()
execute_process(
    COMMAND "${COMPILER}" -std=c++20 -fsyntax-only -Wall -Wextra -Werror "-I${INCLUDE}"
            ${definitions} "${SOURCE}"
    RESULT_VARIABLE result
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
if(EXPECT STREQUAL "success")
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "expected ${SOURCE} (${DEFINE}) to compile:\n${output}")
    endif()
elseif(EXPECT STREQUAL "failure")
    if(result EQUAL 0)
        message(FATAL_ERROR "expected ${SOURCE} (${DEFINE}) not to compile, but it did")
    endif()
    if(NOT output MATCHES "${MESSAGE}")
        message(FATAL_ERROR "${SOURCE} (${DEFINE}) failed for another reason than "
                            "'${MESSAGE}':\n${output}")
    endif()
else()
    message(FATAL_ERROR "CompileCheck: EXPECT must be success or failure")
endif()
