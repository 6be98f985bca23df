# CPack runs this before it archives: the staged package must hold exactly
# the files that ship, no installer library, which is the vendor's to
# deliver, and the images that this build made: unsigned as built, or signed
# with a signature that verifies (TOLVANE_SIGN_CAFILE, and with a timestamp
# TOLVANE_SIGN_TSA_CAFILE, from the environment) and that is the built image
# once removed.  So no earlier or partial signing ships.  Also usable alone:
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

foreach(built IN LISTS CPACK_TOLVANE_UNSIGNED_IMAGES)
  get_filename_component(name "${built}" NAME)
  set(image "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${name}")
  if(CPACK_TOLVANE_SIGNED_IMAGES)
    set(verify -CAfile "$ENV{TOLVANE_SIGN_CAFILE}")
    if(CPACK_TOLVANE_TIMESTAMPED)
      list(APPEND verify -TSA-CAfile "$ENV{TOLVANE_SIGN_TSA_CAFILE}")
    endif()
    if("$ENV{TOLVANE_SIGN_CAFILE}" STREQUAL "" OR
       (CPACK_TOLVANE_TIMESTAMPED AND "$ENV{TOLVANE_SIGN_TSA_CAFILE}" STREQUAL ""))
      message(FATAL_ERROR "Packaging checks the signatures: set TOLVANE_SIGN_CAFILE, and for a timestamped "
        "release TOLVANE_SIGN_TSA_CAFILE, as for signing.")
    endif()
    execute_process(COMMAND "${CPACK_TOLVANE_OSSLSIGNCODE}" verify ${verify} -in "${image}"
      RESULT_VARIABLE unverified OUTPUT_VARIABLE verification ERROR_VARIABLE verification)
    # osslsigncode exits with 0 after a timestamp for other data, or from an
    # authority outside that chain, while the certificate is valid today:
    # its report must say that the timestamp verified.
    string(FIND "\n${verification}" "\nTimestamp Server Signature verification: ok" timestamp_verified)
    if(CPACK_TOLVANE_TIMESTAMPED AND timestamp_verified EQUAL -1)
      set(unverified "the timestamp")
    endif()
    if(unverified)
      message(FATAL_ERROR "${name} in the package does not verify:\n${verification}")
    endif()
    set(stripped "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/../${name}.without-signature")
    execute_process(COMMAND "${CPACK_TOLVANE_OSSLSIGNCODE}" remove-signature -in "${image}" -out "${stripped}"
      OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    set(image "${stripped}")
  endif()
  file(SHA256 "${image}" shipped)
  file(SHA256 "${built}" made)
  if(NOT shipped STREQUAL made)
    message(FATAL_ERROR "${name} in the package is not the image that this build made")
  endif()
endforeach()
