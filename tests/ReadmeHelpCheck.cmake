# The README shows the help text as it is: doc/zendrocast.txt, whole, in one fenced block.
# Run as: cmake -DREADME=... -DSOURCE=... -P ReadmeHelpCheck.cmake
file(READ "${README}" readme)
file(READ "${SOURCE}" help)
string(FIND "${readme}" "```\n${help}```\n" at)
if(at EQUAL -1)
  message(FATAL_ERROR "README.md does not show doc/zendrocast.txt as it is; copy it into the "
                      "fenced block under \"Usage\"")
endif()
