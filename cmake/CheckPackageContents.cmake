# CPack runs this before it archives: the staged package must hold exactly
# the files that ship, and no installer library, which is the vendor's to
# deliver.  Also usable alone:
#   cmake -DCPACK_TEMPORARY_INSTALL_DIRECTORY=DIR
#         "-DCPACK_TOLVANE_PACKAGE_FILES=README.txt;tolvane.exe" -P CheckPackageContents.cmake
file(GLOB_RECURSE staged LIST_DIRECTORIES false RELATIVE "${CPACK_TEMPORARY_INSTALL_DIRECTORY}"
  "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
list(SORT staged)
foreach(file IN LISTS staged)
  if(file MATCHES "ZEL_Act_Installer")
    message(FATAL_ERROR "The package must not hold an installer library, yet it holds ${file}")
  endif()
endforeach()
set(expected ${CPACK_TOLVANE_PACKAGE_FILES})
list(SORT expected)
if(NOT staged STREQUAL expected)
  message(FATAL_ERROR "The package holds [${staged}], not [${expected}]")
endif()
