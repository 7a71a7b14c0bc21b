# Cross-builds for macOS 12 and later on Apple silicon from Linux, with Debian's clang and lld,
# against an unpacked MacOSX SDK named by the environment variable MACOS_SDK (the folder
# that holds usr/include and System/Library). The SDK stays outside the source tree.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 21.0) # Darwin 21: macOS 12
set(CMAKE_SYSTEM_PROCESSOR arm64)

# Remembered in the cache, so that the build can configure itself again without it.
if(NOT "$ENV{MACOS_SDK}" STREQUAL "")
  set(TAMSO_MACOS_SDK "$ENV{MACOS_SDK}" CACHE PATH "The MacOSX SDK of the cross-build" FORCE)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TAMSO_MACOS_SDK)
set(tamso_sdk "${TAMSO_MACOS_SDK}")
if(tamso_sdk STREQUAL "")
  message(FATAL_ERROR "macos-cross: set MACOS_SDK to an unpacked MacOSX SDK, for example "
                      "MACOS_SDK=/path/to/MacOSX.sdk cmake --preset macos-cross")
endif()
if(NOT EXISTS "${tamso_sdk}/usr/include/stdio.h" OR
   NOT EXISTS "${tamso_sdk}/System/Library/Frameworks/IOKit.framework")
  message(FATAL_ERROR "macos-cross: MACOS_SDK=${tamso_sdk} is not a MacOSX SDK "
                      "(no usr/include/stdio.h or System/Library/Frameworks/IOKit.framework)")
endif()

# Debian installs lld and llvm-objdump beside clang, not always on PATH.
find_program(TAMSO_CLANG clang REQUIRED)
find_program(TAMSO_CLANGXX clang++ REQUIRED)
find_program(TAMSO_LD64_LLD ld64.lld PATHS /usr/lib/llvm-14/bin REQUIRED)
find_program(TAMSO_OBJDUMP llvm-objdump PATHS /usr/lib/llvm-14/bin REQUIRED)
find_program(CMAKE_AR llvm-ar PATHS /usr/lib/llvm-14/bin REQUIRED)
find_program(CMAKE_RANLIB llvm-ranlib PATHS /usr/lib/llvm-14/bin REQUIRED)
find_program(CMAKE_INSTALL_NAME_TOOL llvm-install-name-tool PATHS /usr/lib/llvm-14/bin REQUIRED)

set(CMAKE_C_COMPILER "${TAMSO_CLANG}")
set(CMAKE_CXX_COMPILER "${TAMSO_CLANGXX}")
set(CMAKE_C_COMPILER_TARGET arm64-apple-macos12)
set(CMAKE_CXX_COMPILER_TARGET arm64-apple-macos12)
set(CMAKE_OSX_SYSROOT "${tamso_sdk}")
set(CMAKE_OSX_ARCHITECTURES arm64)
set(CMAKE_OSX_DEPLOYMENT_TARGET 12.0)

set(CMAKE_CXX_FLAGS_INIT "-stdlib=libc++")
# clang finds ld64.lld beside itself. lld signs arm64 executables ad hoc by default; the
# build checks every one it links.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-stdlib=libc++ -fuse-ld=lld")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-stdlib=libc++ -fuse-ld=lld")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-stdlib=libc++ -fuse-ld=lld")

# Headers, libraries and packages come from the SDK only; tools from this machine.
set(CMAKE_FIND_ROOT_PATH "${tamso_sdk}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
