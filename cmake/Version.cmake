# Writes the banner's version strings (git describe, the last commit line, the build
# configuration) into a source file, touching it only when they change.
set(GIT_DESCRIBE "")
set(GIT_LOG "")
find_program(GIT git)
if(GIT)
    execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} describe --always --dirty --tags
        OUTPUT_VARIABLE GIT_DESCRIBE OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} log -1 --format=%h\ %ad\ %s --date=short
        OUTPUT_VARIABLE GIT_LOG OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
set(CONFIG_NAME "${CONFIGURATION}")
if(CONFIG_NAME STREQUAL "")
    set(CONFIG_NAME "${BUILD_TYPE}")
endif()
foreach(var GIT_DESCRIBE GIT_LOG CONFIG_NAME)
    string(REPLACE "\\" "\\\\" ${var} "${${var}}")
    string(REPLACE "\"" "\\\"" ${var} "${${var}}")
endforeach()
set(CONTENT "// Generated at build time.
namespace BuildVersion
{
extern const char* const GitDescribe;
extern const char* const GitLog;
extern const char* const Configuration;
const char* const GitDescribe = \"${GIT_DESCRIBE}\";
const char* const GitLog = \"${GIT_LOG}\";
const char* const Configuration = \"${CONFIG_NAME}\";
}
")
set(OLD "")
if(EXISTS ${OUTPUT})
    file(READ ${OUTPUT} OLD)
endif()
if(NOT OLD STREQUAL CONTENT)
    file(WRITE ${OUTPUT} "${CONTENT}")
endif()
