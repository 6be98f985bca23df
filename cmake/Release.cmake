# The release: tolvane.exe and tolvane-run.exe signed and verified as the
# last step of the build, packaged with CPack as tolvane-<version>-win64.zip,
# with a SHA-256 sum, their symbols for a symbol server
# (tolvane-<version>-win64-symbols.zip) and the build information that lets
# anyone rebuild and compare it.  The package-unsigned preset makes the same
# package unsigned, named so: tolvane-<version>-win64-unsigned.zip.
if(NOT WIN32)
  message(FATAL_ERROR "A release is of the Windows image: use the release or package-unsigned preset.")
endif()

# The release's flags are the project's alone: CFLAGS, CXXFLAGS, LDFLAGS and
# RCFLAGS in the environment of a first configure, or -D settings of these,
# would change the images that the publisher's signature stands for.  CMake
# puts the environment's flags into the _INIT values too.
foreach(variable IN ITEMS CFLAGS CXXFLAGS LDFLAGS RCFLAGS)
  if(NOT "$ENV{${variable}}" STREQUAL "")
    message(FATAL_ERROR "A release takes its flags from the project alone, yet the environment sets "
      "${variable}='$ENV{${variable}}': configure afresh (--fresh) without it.")
  endif()
endforeach()
foreach(flags IN ITEMS CMAKE_C_FLAGS CMAKE_CXX_FLAGS CMAKE_RC_FLAGS CMAKE_EXE_LINKER_FLAGS
                       CMAKE_C_FLAGS_RELEASE CMAKE_CXX_FLAGS_RELEASE CMAKE_EXE_LINKER_FLAGS_RELEASE)
  string(STRIP "${${flags}}" given)
  string(STRIP "${${flags}_INIT}" own)
  if(NOT given STREQUAL own)
    message(FATAL_ERROR "A release takes its flags from the project alone, yet ${flags} is '${given}': "
      "configure afresh (--fresh) without CFLAGS, CXXFLAGS, LDFLAGS and RCFLAGS in the environment "
      "and without -D${flags}.")
  endif()
endforeach()

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

set(programs tolvane tolvane-run)
set(unsigned_images)
set(shipped_images)
if(TOLVANE_UNSIGNED_PACKAGE)
  set(package_name "tolvane-${PROJECT_VERSION}-win64-unsigned")
  set(shipped_folder "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
  set(release_check_options)
else()
  set(package_name "tolvane-${PROJECT_VERSION}-win64")
  set(shipped_folder "${PROJECT_BINARY_DIR}/signed")
  find_program(TOLVANE_OSSLSIGNCODE osslsigncode REQUIRED)
  set(release_check_options --signed)
  if(NOT "$ENV{TOLVANE_SIGN_TIMESTAMP_URL}" STREQUAL "")
    list(APPEND release_check_options --timestamped)
  endif()
endif()
foreach(program IN LISTS programs)
  list(APPEND unsigned_images "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${program}.exe")
  list(APPEND shipped_images "${shipped_folder}/${program}.exe")
endforeach()

if(NOT TOLVANE_UNSIGNED_PACKAGE)
  # The key comes from the environment of the build (tools/sign-release.sh).
  set(sign_commands COMMAND ${CMAKE_COMMAND} "-DSOURCE_DIR=${PROJECT_SOURCE_DIR}"
    -P "${PROJECT_SOURCE_DIR}/cmake/CheckCommitted.cmake")
  foreach(program IN LISTS programs)
    list(APPEND sign_commands COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${source_date_epoch}
      TOLVANE_OSSLSIGNCODE=${TOLVANE_OSSLSIGNCODE} sh "${PROJECT_SOURCE_DIR}/tools/sign-release.sh"
      "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${program}.exe" "${shipped_folder}/${program}.exe")
  endforeach()
  add_custom_target(sign_release ALL ${sign_commands}
    BYPRODUCTS ${shipped_images}
    DEPENDS ${programs}
    COMMENT "Signing and verifying tolvane.exe and tolvane-run.exe"
    VERBATIM)
endif()

# Windows before 10 1809 shows a text file with bare LF endings as one line.
foreach(readme IN ITEMS packaging/README.txt qualification/README.txt)
  file(READ "${PROJECT_SOURCE_DIR}/${readme}" text)
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE "${PROJECT_BINARY_DIR}/${readme}" "${text}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/${readme}")
endforeach()

# The qualification kit's package, beside the release's: the kit as it is
# laid out, with the images that the release ships.
set(CPACK_TOLVANE_QUALIFICATION_NAME "tolvane-${PROJECT_VERSION}-qualification")
if(TOLVANE_UNSIGNED_PACKAGE)
  string(APPEND CPACK_TOLVANE_QUALIFICATION_NAME "-unsigned")
endif()
set(CPACK_TOLVANE_QUALIFICATION_FILES README.txt "${PROJECT_BINARY_DIR}/qualification/README.txt")
set(pairs "${TOLVANE_QUALIFICATION_FILES}")
while(pairs)
  list(POP_FRONT pairs entry file)
  if(entry MATCHES "^release/(.*)$")
    set(file "${shipped_folder}/${CMAKE_MATCH_1}")
  endif()
  list(APPEND CPACK_TOLVANE_QUALIFICATION_FILES "${entry}" "${file}")
endwhile()

# Only these files ship: never the stand-in installer library.
install(FILES ${shipped_images} DESTINATION .)
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
  "${PROJECT_SOURCE_DIR}/cmake/WriteQualificationKit.cmake" "${PROJECT_SOURCE_DIR}/cmake/WriteBuildInfo.cmake")
set(CPACK_TOLVANE_PYTHON "${TOLVANE_PYTHON}")
set(CPACK_TOLVANE_PACKAGE_FILES README.txt tolvane.exe tolvane-run.exe)
set(CPACK_TOLVANE_UNSIGNED_IMAGES ${unsigned_images})
set(CPACK_TOLVANE_SYMBOLS)
foreach(program IN LISTS programs)
  list(APPEND CPACK_TOLVANE_SYMBOLS "${shipped_folder}/${program}.exe"
    "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${program}.pdb")
endforeach()
set(CPACK_TOLVANE_SOURCE_DATE_EPOCH "${source_date_epoch}")
# Every setting that changes the images, for the build information.
set(CPACK_TOLVANE_SETTINGS)
foreach(setting IN ITEMS PROJECT_VERSION TOLVANE_BUILD_NUMBER TOLVANE_COMPANY_NAME TOLVANE_PRODUCT_NAME
                         TOLVANE_LEGAL_COPYRIGHT TOLVANE_CET_COMPAT CMAKE_BUILD_TYPE)
  string(REPLACE ";" "\\;" value "${${setting}}")
  list(APPEND CPACK_TOLVANE_SETTINGS "${setting}=${value}")
endforeach()
set(CPACK_TOLVANE_SOURCE_DIR "${PROJECT_SOURCE_DIR}")
# What built the images, as Debian packages and as the tools that ran.
set(CPACK_TOLVANE_TOOLCHAIN_PACKAGES clang-16 libclang-cpp16 libllvm16 lld-16 gcc-mingw-w64-x86-64-posix
  mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 cmake ninja-build python3-pefile osslsigncode)
set(CPACK_TOLVANE_TOOLS "${CMAKE_C_COMPILER}" "${CMAKE_CXX_COMPILER}" "${TOLVANE_LINKER}" "${CMAKE_RC_COMPILER}"
  "${CMAKE_DLLTOOL}" "${CMAKE_COMMAND}" "${CMAKE_MAKE_PROGRAM}" "${TOLVANE_PYTHON}" ${TOLVANE_OSSLSIGNCODE})
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_SOURCE_DIR}/cmake/CPackProjectConfig.cmake")
if(NOT TOLVANE_UNSIGNED_PACKAGE)
  set(CPACK_TOLVANE_SIGNED_IMAGES ${shipped_images})
  set(CPACK_TOLVANE_OSSLSIGNCODE "${TOLVANE_OSSLSIGNCODE}")
  if(NOT "$ENV{TOLVANE_SIGN_TIMESTAMP_URL}" STREQUAL "")
    set(CPACK_TOLVANE_TIMESTAMPED ON)
  endif()
endif()
include(CPack)

# The release's own check: the images as they ship.
enable_testing()
foreach(program IN LISTS programs)
  add_test(NAME release.check_pe_image.${program}
    COMMAND "${TOLVANE_PYTHON}" "${PROJECT_SOURCE_DIR}/tools/check_pe_image.py" "${shipped_folder}/${program}.exe"
            --program ${program}.exe --expect "${TOLVANE_IMAGE_EXPECTATIONS}" ${release_check_options})
endforeach()
