# What the sources are: tolvane_source_commit(DIR COMMIT CHANGES) sets COMMIT
# to the git commit of the checkout at DIR, or to "" where DIR is not the
# top of a git checkout (a source archive), and CHANGES to git's list of
# the tracked files changed since that commit, "" where there are none.
function(tolvane_source_commit dir commit_variable changes_variable)
  set(commit "")
  set(changes "")
  execute_process(COMMAND git rev-parse --show-toplevel WORKING_DIRECTORY "${dir}"
    OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE not_git ERROR_QUIET)
  if(NOT not_git)
    file(REAL_PATH "${top}" top)
    file(REAL_PATH "${dir}" dir)
  endif()
  if(NOT not_git AND top STREQUAL dir)
    execute_process(COMMAND git rev-parse HEAD WORKING_DIRECTORY "${dir}"
      OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND git status --porcelain --untracked-files=no WORKING_DIRECTORY "${dir}"
      OUTPUT_VARIABLE changes OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  endif()
  set(${commit_variable} "${commit}" PARENT_SCOPE)
  set(${changes_variable} "${changes}" PARENT_SCOPE)
endfunction()
