# Windows-only tests: the built image's properties, the platform's command
# line and shell, and reproducible bytes.  Windows programs run under Wine,
# in the tests' own prefix with one wineserver for the whole run.

add_test(NAME windows.wine_prefix_start
  COMMAND sh "${CMAKE_CURRENT_SOURCE_DIR}/windows/wine_prefix.sh" start "${wine_prefix}")
add_test(NAME windows.wine_prefix_stop
  COMMAND sh "${CMAKE_CURRENT_SOURCE_DIR}/windows/wine_prefix.sh" stop "${wine_prefix}")
set_tests_properties(windows.wine_prefix_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
set_tests_properties(windows.wine_prefix_stop PROPERTIES FIXTURES_CLEANUP wine)

# CTest runs the program itself through the cross-compiling emulator.
add_test(NAME windows.install_under_emulator COMMAND tolvane "Acme Corp" "Widget")
set_tests_properties(windows.install_under_emulator PROPERTIES
  FIXTURES_REQUIRED wine
  TIMEOUT 60
  ENVIRONMENT "WINEPREFIX=${wine_prefix};WINEDEBUG=-all"
  PASS_REGULAR_EXPRESSION "^Successfully installed anchor service for publisher Acme Corp, product Widget\r\nSuccess code 0: stand-in")

# Launchers that start tolvane.exe from an exact command line: with the
# launcher's standard handles, or on its console; and a console program for
# the stand-in to run while it installs.
foreach(launcher IN ITEMS raw_command_line console_launcher console_helper)
  add_executable(${launcher} windows/${launcher}.c)
  target_link_libraries(${launcher} PRIVATE tolvane_build_flags)
  set_target_properties(${launcher} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${test_programs}")
endforeach()

# tolvane's own Windows code where Windows differs from Wine or where Wine
# cannot be made to fail: its messages as a system with the ANSI code page
# UTF-8 makes them, without memory and on a device that is no console's
# screen, its answer to Ctrl+Break, and its library search where KERNEL32
# lacks SetDefaultDllDirectories.
tolvane_add_test_program(console_calls windows/console_calls.cpp windows_console.cpp
  WRAP GetCPInfoExW GetFileType HeapAlloc HeapFree MultiByteToWideChar SetConsoleCtrlHandler WriteConsoleW WriteFile)
tolvane_add_test_program(library_search_fallback windows/library_search_fallback.cpp windows_search_paths.cpp
  WRAP GetProcAddress SetDllDirectoryW)
# tolvane-run where Windows refuses to start tolvane.exe, which Wine does
# not, with the error mode tolvane.exe would inherit, which Wine does not
# pass on, and its answers to Ctrl+Break, which Wine does not deliver; and
# tolvane-run as before Vista, which Wine cannot be.
tolvane_add_test_program(unelevated_run windows/unelevated_run.cpp WRAP CreateProcessW SetConsoleCtrlHandler)
tolvane_add_test_program(run_before_vista windows/run_before_vista.cpp WRAP GetProcAddress)
# Who may change tolvane's files, judged on access control lists that Wine
# cannot give a file.
tolvane_add_test_program(who_can_change windows/who_can_change.cpp trusted_files.cpp WRAP GetFileSecurityW)
target_link_libraries(who_can_change PRIVATE advapi32)

foreach(program IN ITEMS unelevated_run run_before_vista)
  target_sources(${program} PRIVATE ${TOLVANE_RUN_SOURCES})
  target_link_libraries(${program} PRIVATE advapi32)
endforeach()

set(front_end "${PROJECT_SOURCE_DIR}/utils/install_service")

# Images built wrongly on purpose: each must trip the image checks.
function(tolvane_add_broken_image name)
  cmake_parse_arguments(PARSE_ARGV 1 broken "WITHOUT_RESOURCES;WITHOUT_LOAD_CONFIG;DEFAULT_LINK;WITH_C_RUN_TIME"
    "" "SOURCES;COMPILE;LINK")
  set(target broken_image_${name})
  add_executable(${target} "${front_end}/tolvane.cpp" ${TOLVANE_WINDOWS_SOURCES} ${broken_SOURCES})
  target_include_directories(${target} PRIVATE "${front_end}")
  if(NOT broken_WITHOUT_RESOURCES)
    tolvane_add_resources(${target})
  endif()
  if(NOT broken_WITHOUT_LOAD_CONFIG)
    tolvane_add_load_config(${target})
  endif()
  if(NOT broken_DEFAULT_LINK)
    target_link_libraries(${target} PRIVATE tolvane_build_flags)
  endif()
  if(NOT broken_WITH_C_RUN_TIME)
    tolvane_link_without_c_run_time(${target})
  endif()
  target_compile_options(${target} PRIVATE ${broken_COMPILE})
  target_link_libraries(${target} PRIVATE ${broken_LINK})
  target_link_options(${target} PRIVATE -s)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME tolvane
    RUNTIME_OUTPUT_DIRECTORY "${test_programs}/broken-images/${name}")
  tolvane_write_checksum(${target})
endfunction()

tolvane_add_broken_image(default-link DEFAULT_LINK LINK zel_act_installer)
tolvane_add_broken_image(without-resources WITHOUT_RESOURCES LINK zel_act_installer)
# lld warns that the guard has no load configuration, and the build makes that an error.
tolvane_add_broken_image(without-load-config WITHOUT_LOAD_CONFIG LINK zel_act_installer -Wl,--no-fatal-warnings)
tolvane_add_broken_image(gui-subsystem LINK zel_act_installer -Wl,--subsystem,windows:5.2)
tolvane_add_broken_image(without-guard LINK zel_act_installer -Wl,--no-guard-cf)
# The table of valid call targets, but no check of a call: the load
# configuration still says the code is instrumented.
tolvane_add_broken_image(without-guard-checks COMPILE -mguard=cf-nochecks LINK zel_act_installer)
tolvane_add_broken_image(without-cet-mark LINK zel_act_installer -Wl,--Xlink=-cetcompat:no)
tolvane_add_broken_image(fixed-base LINK zel_act_installer
  -Wl,--disable-dynamicbase,--disable-high-entropy-va,--disable-reloc-section)
# MinGW's start-up code and the C run-time it needs, as a default link gives them.
tolvane_add_broken_image(mingw-start-up WITH_C_RUN_TIME LINK zel_act_installer)
tolvane_add_broken_image(extra-import LINK zel_act_installer
  SOURCES "${CMAKE_CURRENT_SOURCE_DIR}/windows/extra_import.c")
tolvane_add_broken_image(set-default-dll-directories-imported LINK zel_act_installer
  SOURCES "${CMAKE_CURRENT_SOURCE_DIR}/windows/set_default_dll_directories.c")
tolvane_add_broken_image(second-manifest LINK zel_act_installer
  SOURCES "${CMAKE_CURRENT_SOURCE_DIR}/windows/second_manifest.rc")
set_source_files_properties("${CMAKE_CURRENT_SOURCE_DIR}/windows/second_manifest.rc" PROPERTIES
  OBJECT_DEPENDS "${front_end}/tolvane.manifest")

# The installer library bound on first use, not at load time.
set(delay_import_library "${CMAKE_CURRENT_BINARY_DIR}/libZEL_Act_Installer.delay.a")
add_custom_command(OUTPUT "${delay_import_library}"
  COMMAND "${CMAKE_DLLTOOL}" --input-def "${ZEL_ACT_INSTALLER_DEF}" --output-delaylib "${delay_import_library}"
  DEPENDS "${ZEL_ACT_INSTALLER_DEF}")
add_custom_target(delay_import_library DEPENDS "${delay_import_library}")
tolvane_add_broken_image(delay-load LINK zel_act_installer_headers "${delay_import_library}" mingwex)
add_dependencies(broken_image_delay-load delay_import_library)

foreach(program IN ITEMS tolvane tolvane-run)
  add_test(NAME windows.check_pe_image.${program}
    COMMAND "${TOLVANE_PYTHON}" "${PROJECT_SOURCE_DIR}/tools/check_pe_image.py" $<TARGET_FILE:${program}>
            --program ${program}.exe --expect "${TOLVANE_IMAGE_EXPECTATIONS}")
endforeach()

tolvane_add_pytest(test_front_end)
tolvane_add_pytest(test_windows_command_line)
tolvane_add_pytest(test_windows_process)
tolvane_add_pytest(test_windows_run)
tolvane_add_pytest(test_qualification_kit --qualification-files "${PROJECT_BINARY_DIR}/qualification/qualification-files.json")
tolvane_add_pytest(test_windows_image --source-dir "${PROJECT_SOURCE_DIR}" --image-expectations "${TOLVANE_IMAGE_EXPECTATIONS}")
tolvane_add_pytest(test_windows_reproducible --source-dir "${PROJECT_SOURCE_DIR}"
  --image-expectations "${TOLVANE_IMAGE_EXPECTATIONS}")

find_path(TOLVANE_MINGW_INCLUDE ntstatus.h REQUIRED)
tolvane_add_pytest(test_release --source-dir "${PROJECT_SOURCE_DIR}" --image-expectations "${TOLVANE_IMAGE_EXPECTATIONS}"
  --mingw-include "${TOLVANE_MINGW_INCLUDE}")
