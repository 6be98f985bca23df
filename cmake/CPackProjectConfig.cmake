# Read by CPack before it packages: the archive's file times are the
# release's fixed time (CPack takes them from SOURCE_DATE_EPOCH).
if(NOT CPACK_TOLVANE_SOURCE_DATE_EPOCH STREQUAL "")
  set(ENV{SOURCE_DATE_EPOCH} "${CPACK_TOLVANE_SOURCE_DATE_EPOCH}")
endif()
