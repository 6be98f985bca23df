# Run by CPack after it has packaged, before the build information: writes
# <package>-symbols.zip beside the zip, the PDBs and the images as they
# ship, in a symbol server's layout.  Never inside the release zip.
set(symbols "${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}-symbols.zip")
execute_process(COMMAND "${CPACK_TOLVANE_PYTHON}" "${CPACK_TOLVANE_SOURCE_DIR}/cmake/symbol_store_zip.py" "${symbols}"
  "${CPACK_TOLVANE_SOURCE_DATE_EPOCH}" ${CPACK_TOLVANE_SYMBOLS} COMMAND_ERROR_IS_FATAL ANY)
message(STATUS "Symbols: ${symbols}")
