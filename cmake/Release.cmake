# The release: tolvane.exe signed as the last step of the build, packaged
# with CPack as tolvane-<version>-win64.zip, with a SHA-256 sum, its
# symbols for a symbol server (tolvane-<version>-win64-symbols.zip) and the
# build information that lets anyone rebuild and compare it.  The
# package-unsigned preset makes the same package unsigned, named so:
# tolvane-<version>-win64-unsigned.zip.
if(NOT WIN32)
  message(FATAL_ERROR "A release is of the Windows image: use the release or package-unsigned preset.")
endif()

# Reproducible by default: the signing time and the times in the zip are
# SOURCE_DATE_EPOCH, or else the time of the sources' last commit.
set(source_date_epoch "$ENV{SOURCE_DATE_EPOCH}")
if(source_date_epoch STREQUAL "")
  execute_process(COMMAND git log -1 --format=%ct
    WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
    OUTPUT_VARIABLE source_date_epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT source_date_epoch MATCHES "^[0-9]+$")
  message(FATAL_ERROR "Neither SOURCE_DATE_EPOCH nor a git commit gives the release a fixed time.")
endif()

set(unsigned_image "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/tolvane.exe")
if(TOLVANE_UNSIGNED_PACKAGE)
  set(package_name "tolvane-${PROJECT_VERSION}-win64-unsigned")
  set(shipped_image "${unsigned_image}")
  set(release_check_options)
else()
  set(package_name "tolvane-${PROJECT_VERSION}-win64")
  # The key comes from the environment of the build (tools/sign-release.sh).
  set(shipped_image "${PROJECT_BINARY_DIR}/signed/tolvane.exe")
  add_custom_target(sign_release ALL
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${source_date_epoch}
            sh "${PROJECT_SOURCE_DIR}/tools/sign-release.sh" "${unsigned_image}" "${shipped_image}"
    BYPRODUCTS "${shipped_image}"
    DEPENDS tolvane
    COMMENT "Signing tolvane.exe"
    VERBATIM)
  set(release_check_options --signed)
  if(NOT "$ENV{TOLVANE_SIGN_TIMESTAMP_URL}" STREQUAL "")
    list(APPEND release_check_options --timestamped)
  endif()
endif()

# Windows before 10 1809 shows a text file with bare LF endings as one line.
file(READ "${PROJECT_SOURCE_DIR}/packaging/README.txt" readme)
string(REPLACE "\n" "\r\n" readme "${readme}")
file(WRITE "${PROJECT_BINARY_DIR}/packaging/README.txt" "${readme}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/packaging/README.txt")

# Only these two files ship: never the stand-in installer library.
install(FILES "${shipped_image}" DESTINATION .)
install(FILES "${PROJECT_BINARY_DIR}/packaging/README.txt" DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME tolvane)
set(CPACK_PACKAGE_VENDOR "${TOLVANE_COMPANY_NAME}")
set(CPACK_PACKAGE_FILE_NAME "${package_name}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}")
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_PRE_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/CheckPackageContents.cmake")
set(CPACK_POST_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/WriteSymbols.cmake"
  "${PROJECT_SOURCE_DIR}/cmake/WriteBuildInfo.cmake")
set(CPACK_TOLVANE_PYTHON "${TOLVANE_PYTHON}")
set(CPACK_TOLVANE_SYMBOLS "${shipped_image}" "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/tolvane.pdb")
set(CPACK_TOLVANE_PACKAGE_FILES README.txt tolvane.exe)
set(CPACK_TOLVANE_SOURCE_DATE_EPOCH "${source_date_epoch}")
set(CPACK_TOLVANE_SOURCE_DIR "${PROJECT_SOURCE_DIR}")
# What built the image, as Debian packages: compiler, linker, run-time, tools.
set(CPACK_TOLVANE_TOOLCHAIN_PACKAGES clang-16 libclang-cpp16 libllvm16 lld-16 gcc-mingw-w64-x86-64-posix
  mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 cmake ninja-build python3-pefile osslsigncode)
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_SOURCE_DIR}/cmake/CPackProjectConfig.cmake")
set(CPACK_TOLVANE_UNSIGNED_IMAGE "${unsigned_image}")
if(NOT TOLVANE_UNSIGNED_PACKAGE)
  set(CPACK_TOLVANE_SIGNED_IMAGE "${shipped_image}")
endif()
include(CPack)

# The release's own check: the image as it ships.
enable_testing()
add_test(NAME release.check_pe_image
  COMMAND "${TOLVANE_PYTHON}" "${PROJECT_SOURCE_DIR}/tools/check_pe_image.py" "${shipped_image}"
          --expect "${TOLVANE_IMAGE_EXPECTATIONS}" ${release_check_options})
