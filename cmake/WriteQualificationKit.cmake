# Run by CPack after it has packaged, before the build information: writes
# the qualification kit's package beside the release's, never inside it:
# tolvane-qualify.exe, the release's own images, the stand-in and the test
# program that the kit runs, and its README.
set(kit "${CPACK_PACKAGE_DIRECTORY}/${CPACK_TOLVANE_QUALIFICATION_NAME}.zip")
execute_process(COMMAND "${CPACK_TOLVANE_PYTHON}" "${CPACK_TOLVANE_SOURCE_DIR}/cmake/qualification_zip.py" "${kit}"
  "${CPACK_TOLVANE_SOURCE_DATE_EPOCH}" ${CPACK_TOLVANE_QUALIFICATION_FILES} COMMAND_ERROR_IS_FATAL ANY)
message(STATUS "Qualification kit: ${kit}")
