# Warnings and hardening shared by every target, as the interface target
# tolvane_build_flags.
add_library(tolvane_build_flags INTERFACE)

target_compile_options(tolvane_build_flags INTERFACE
  -Wall -Wextra -Wpedantic -Wformat=2 -Wshadow -Wconversion -Wsign-conversion
  $<$<BOOL:${TOLVANE_WERROR}>:-Werror>)

if(WIN32)
  return()
endif()

include(CheckPIESupported)
check_pie_supported(LANGUAGES C CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON PARENT_SCOPE)

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
