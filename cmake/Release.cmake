# The release: tolvane.exe signed as the last step of the build, packaged
# with CPack as tolvane-<version>-win64.zip with a SHA-256 sum beside it.
if(NOT WIN32)
  message(FATAL_ERROR "A release is of the Windows image: use the release preset.")
endif()

# Reproducible by default: the signing time and the times in the zip are
# SOURCE_DATE_EPOCH, or else the time of the sources' last commit.
set(source_date_epoch "$ENV{SOURCE_DATE_EPOCH}")
if(source_date_epoch STREQUAL "")
  execute_process(COMMAND git log -1 --format=%ct
    WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
    OUTPUT_VARIABLE source_date_epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(source_date_epoch MATCHES "^[0-9]+$")
  set(with_source_date ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${source_date_epoch})
else()
  message(WARNING "Neither SOURCE_DATE_EPOCH nor a git commit gives the release a fixed time: "
    "its signature and zip will carry the time of the build.")
  set(source_date_epoch "")
  set(with_source_date)
endif()

# The certificate comes from the environment of the build (tools/sign-release.sh).
set(signed_image "${PROJECT_BINARY_DIR}/signed/tolvane.exe")
add_custom_target(sign_release ALL
  COMMAND ${with_source_date} sh "${PROJECT_SOURCE_DIR}/tools/sign-release.sh"
          "$<TARGET_FILE:tolvane>" "${signed_image}"
  BYPRODUCTS "${signed_image}"
  DEPENDS tolvane
  COMMENT "Signing tolvane.exe"
  VERBATIM)

# Only these two files ship: never the stand-in installer library.
install(FILES "${signed_image}" DESTINATION .)
install(FILES "${PROJECT_SOURCE_DIR}/packaging/README.txt" DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME tolvane)
set(CPACK_PACKAGE_VENDOR "${TOLVANE_COMPANY_NAME}")
set(CPACK_PACKAGE_FILE_NAME "tolvane-${PROJECT_VERSION}-win64")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}")
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_PRE_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/CheckPackageContents.cmake")
set(CPACK_TOLVANE_PACKAGE_FILES README.txt tolvane.exe)
set(CPACK_TOLVANE_SOURCE_DATE_EPOCH "${source_date_epoch}")
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_SOURCE_DIR}/cmake/CPackProjectConfig.cmake")
include(CPack)

# The release's own check: the image as it ships.
enable_testing()
set(release_check_options)
if(DEFINED ENV{TOLVANE_SIGN_PKCS12} OR DEFINED ENV{TOLVANE_SIGN_CERT})
  set(release_check_options --signed)
endif()
add_test(NAME release.check_pe_image
  COMMAND "${TOLVANE_PYTHON}" "${PROJECT_SOURCE_DIR}/tools/check_pe_image.py" "${signed_image}"
          --expect "${TOLVANE_IMAGE_EXPECTATIONS}" ${release_check_options})
