# Warnings and hardening shared by every target, as the interface target
# tolvane_build_flags.
add_library(tolvane_build_flags INTERFACE)

target_compile_options(tolvane_build_flags INTERFACE
  -Wall -Wextra -Wpedantic -Wformat=2 -Wshadow -Wconversion -Wsign-conversion)

if(WIN32)
  # The stand-in's and the tests' programs' printf from the system C library
  # (msvcrt.dll), not MinGW's own copy; tolvane.exe has no C run-time at all.
  target_compile_definitions(tolvane_build_flags INTERFACE __USE_MINGW_ANSI_STDIO=0)
  # Console image for Windows 5.2 and later (lld's default is 6.0), with no
  # timestamp, so that the same sources give the same bytes (lld's default
  # is the time of the link).  -static links the GCC run-time into the
  # programs that take one: they import only system DLLs besides the
  # installer library.
  target_link_options(tolvane_build_flags INTERFACE
    -static -s
    LINKER:--subsystem,console:5.2
    LINKER:--major-os-version,5 LINKER:--minor-os-version,2
    LINKER:--no-insert-timestamp)
  # Only restating lld's defaults, and kept so that a change of them cannot
  # pass unseen: relocatable with its relocation table (ASLR, high-entropy
  # too), DEP and terminal-server aware.  Large-address aware is lld's
  # default for 64 bits and has no flag here.
  target_link_options(tolvane_build_flags INTERFACE
    LINKER:--dynamicbase LINKER:--enable-reloc-section LINKER:--high-entropy-va
    LINKER:--nxcompat LINKER:--tsaware)
  return()
endif()

include(CheckPIESupported)
check_pie_supported(LANGUAGES C CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

target_compile_options(tolvane_build_flags INTERFACE -fstack-protector-strong)
# Bind everything at start-up, as the Windows loader does: a missing library
# or operation stops the program before its first line runs.
target_link_options(tolvane_build_flags INTERFACE
  LINKER:-z,relro LINKER:-z,now LINKER:--as-needed LINKER:-z,noexecstack)

if(TOLVANE_SANITIZE)
  set(sanitizers -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_compile_options(tolvane_build_flags INTERFACE ${sanitizers})
  target_link_options(tolvane_build_flags INTERFACE ${sanitizers})
else()
  # _FORTIFY_SOURCE needs an optimised build.
  target_compile_definitions(tolvane_build_flags INTERFACE
    $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
endif()
