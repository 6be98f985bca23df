# Run by CPack after it has packaged: writes <package>.buildinfo beside the
# zip, what anyone needs to rebuild the release and compare it: the source
# commit, the fixed time, every setting that changes the images (the
# release and build numbers, the version strings, the build options), the
# Debian packages of the toolchain, the tools as they ran with their
# versions, and the SHA-256 of the unsigned images, the signed images, the
# zip, its symbols and the qualification kit.
set(info "${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.buildinfo")

include("${CPACK_TOLVANE_SOURCE_DIR}/cmake/SourceCommit.cmake")
tolvane_source_commit("${CPACK_TOLVANE_SOURCE_DIR}" commit changes)
if(commit STREQUAL "")
  set(commit "unknown: the sources are not a git checkout")
elseif(NOT changes STREQUAL "")
  string(APPEND commit " with uncommitted changes")
endif()
set(settings)
foreach(setting IN LISTS CPACK_TOLVANE_SETTINGS)
  string(APPEND settings "\n ${setting}")
endforeach()

execute_process(COMMAND dpkg-query -W "-f=\${Package} \${Version}\\n" ${CPACK_TOLVANE_TOOLCHAIN_PACKAGES}
  OUTPUT_VARIABLE packages COMMAND_ERROR_IS_FATAL ANY)
string(REGEX REPLACE "\n$" "" packages "${packages}")
string(REPLACE "\n" "\n " packages "${packages}")

# A tool's full path and the first line of what it says of its version.
set(tools)
foreach(tool IN LISTS CPACK_TOLVANE_TOOLS)
  execute_process(COMMAND "${tool}" --version OUTPUT_VARIABLE version ERROR_VARIABLE version)
  string(REGEX REPLACE "\n.*" "" version "${version}")
  string(APPEND tools "\n ${tool}: ${version}")
endforeach()

# Each image's hash and name, a line each.
set(hashes)
foreach(field IN ITEMS Unsigned-Image-SHA256 Signed-Image-SHA256)
  if(field MATCHES "^Unsigned")
    set(images ${CPACK_TOLVANE_UNSIGNED_IMAGES})
  else()
    set(images ${CPACK_TOLVANE_SIGNED_IMAGES})
  endif()
  if(images)
    string(APPEND hashes "${field}:\n")
  endif()
  foreach(image IN LISTS images)
    file(SHA256 "${image}" hash)
    get_filename_component(name "${image}" NAME)
    string(APPEND hashes " ${hash} ${name}\n")
  endforeach()
endforeach()
list(GET CPACK_PACKAGE_FILES 0 package)
set(symbols "${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}-symbols.zip")
set(qualification "${CPACK_PACKAGE_DIRECTORY}/${CPACK_TOLVANE_QUALIFICATION_NAME}.zip")
foreach(field IN ITEMS Package Symbols Qualification)
  string(TOLOWER "${field}" file)
  file(SHA256 "${${file}}" hash)
  get_filename_component(name "${${file}}" NAME)
  string(APPEND hashes "${field}-SHA256: ${hash} ${name}\n")
endforeach()

file(WRITE "${info}" "Source-Commit: ${commit}\nSource-Date-Epoch: ${CPACK_TOLVANE_SOURCE_DATE_EPOCH}\n"
  "Settings:${settings}\nToolchain-Packages:\n ${packages}\nTools:${tools}\n${hashes}")
message(STATUS "Build information: ${info}")
