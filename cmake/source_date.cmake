# The date that the manual pages and the Debian packages' changelog and copyright carry:
# SOURCE_DATE_EPOCH when it is set, else the time of the commit being built (else now). Builds of
# one commit then give the same bytes on any day and for every architecture, which dpkg needs to
# install Multi-Arch: same packages of several architectures side by side: the files they share
# (/usr/share/doc, the pages) must be identical. Sets BRENN_SOURCE_DATE_EPOCH, and the
# environment variable for this configuration's string(TIMESTAMP) calls.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(BRENN_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE BRENN_SOURCE_DATE_EPOCH
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(NOT BRENN_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    string(TIMESTAMP BRENN_SOURCE_DATE_EPOCH "%s" UTC)
  endif()
  set(ENV{SOURCE_DATE_EPOCH} ${BRENN_SOURCE_DATE_EPOCH})
endif()
