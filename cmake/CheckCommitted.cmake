# Run before the release is signed: the publisher's signature stands for
# a commit, so a git checkout with changes that are not committed is not
# signed.  Sources without git (a source archive) are signed as they are,
# and their build information says so.
#   cmake -DSOURCE_DIR=DIR -P CheckCommitted.cmake
include("${CMAKE_CURRENT_LIST_DIR}/SourceCommit.cmake")
tolvane_source_commit("${SOURCE_DIR}" commit changes)
if(NOT changes STREQUAL "")
  message(FATAL_ERROR "Uncommitted changes, and a release is signed from a commit alone:\n${changes}\n"
    "Commit or stash them, then build the release again.")
endif()
