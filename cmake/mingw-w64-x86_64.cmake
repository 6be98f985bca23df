# Cross build for 64-bit Windows: LLVM's clang-16 compiles and drives LLVM's
# linker lld-16, against MinGW-w64's headers and C run-time and GCC's libgcc.
# lld, unlike GNU ld 2.40, writes the image's load configuration directory
# (its DependentLoadFlags restrict where Windows looks for the installer
# library).  CTest runs the Windows programs under Wine.
#
# Every tool by its full path, from Debian's packages (clang takes
# MinGW-w64 from /usr/x86_64-w64-mingw32, beside its own folder): what PATH
# holds does not change the images.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(toolchain_prefix x86_64-w64-mingw32)
set(CMAKE_C_COMPILER /usr/bin/clang-16)
set(CMAKE_CXX_COMPILER /usr/bin/clang++-16)
set(CMAKE_C_COMPILER_TARGET ${toolchain_prefix})
set(CMAKE_CXX_COMPILER_TARGET ${toolchain_prefix})
set(CMAKE_RC_COMPILER /usr/bin/${toolchain_prefix}-windres)
set(CMAKE_DLLTOOL /usr/bin/${toolchain_prefix}-dlltool)
# Debian's plain ld.lld may be another LLVM version's.
set(TOLVANE_LINKER /usr/lib/llvm-16/bin/ld.lld)

# clang does not find GCC's run-time folder (libgcc), whose name carries
# the threading model.
execute_process(COMMAND /usr/bin/${toolchain_prefix}-gcc-posix -print-libgcc-file-name
  OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(gcc_runtime_dir "${libgcc}" DIRECTORY)
set(linker_flags "-fuse-ld=lld --ld-path=${TOLVANE_LINKER} -L${gcc_runtime_dir}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${linker_flags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${linker_flags}")

set(CMAKE_FIND_ROOT_PATH /usr/${toolchain_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
