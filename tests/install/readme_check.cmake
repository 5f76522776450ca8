# The top README shows the quickstart program as it is built and tested: its
# code block must hold examples/quickstart/quickstart.cpp verbatim.
#   cmake -DREADME=README.md -DPROGRAM=examples/quickstart/quickstart.cpp -P readme_check.cmake
file(READ ${README} readme)
file(READ ${PROGRAM} program)
string(FIND "${readme}" "```cpp\n${program}```\n" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${README} does not show ${PROGRAM} as it is: copy the file into its code block")
endif()
