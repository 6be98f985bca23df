# Run by CPack after it has packaged: writes <package>.buildinfo beside the
# zip, what anyone needs to rebuild the release and compare it: the source
# commit, the fixed time, the Debian packages of the toolchain, and the
# SHA-256 of the unsigned image, the signed image, the zip and its symbols.
set(info "${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.buildinfo")

execute_process(COMMAND git rev-parse HEAD WORKING_DIRECTORY "${CPACK_TOLVANE_SOURCE_DIR}"
  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE no_commit ERROR_QUIET)
if(no_commit)
  set(commit "unknown: the sources are not a git checkout")
else()
  execute_process(COMMAND git status --porcelain --untracked-files=no WORKING_DIRECTORY "${CPACK_TOLVANE_SOURCE_DIR}"
    OUTPUT_VARIABLE changes OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT changes STREQUAL "")
    string(APPEND commit " with uncommitted changes")
  endif()
endif()

execute_process(COMMAND dpkg-query -W "-f=\${Package} \${Version}\\n" ${CPACK_TOLVANE_TOOLCHAIN_PACKAGES}
  OUTPUT_VARIABLE packages COMMAND_ERROR_IS_FATAL ANY)
string(REGEX REPLACE "\n$" "" packages "${packages}")
string(REPLACE "\n" "\n " packages "${packages}")

file(SHA256 "${CPACK_TOLVANE_UNSIGNED_IMAGE}" unsigned)
set(hashes "Unsigned-Image-SHA256: ${unsigned}\n")
if(CPACK_TOLVANE_SIGNED_IMAGE)
  file(SHA256 "${CPACK_TOLVANE_SIGNED_IMAGE}" signed)
  string(APPEND hashes "Signed-Image-SHA256: ${signed}\n")
endif()
list(GET CPACK_PACKAGE_FILES 0 package)
set(symbols "${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}-symbols.zip")
foreach(field IN ITEMS Package Symbols)
  string(TOLOWER "${field}" file)
  file(SHA256 "${${file}}" hash)
  get_filename_component(name "${${file}}" NAME)
  string(APPEND hashes "${field}-SHA256: ${hash} ${name}\n")
endforeach()

file(WRITE "${info}" "Source-Commit: ${commit}\nSource-Date-Epoch: ${CPACK_TOLVANE_SOURCE_DATE_EPOCH}\n"
  "Toolchain-Packages:\n ${packages}\n${hashes}")
message(STATUS "Build information: ${info}")
