# With QVX_PACKAGE_WINDOWS, a Linux build also cross-compiles the Windows
# programs, x86-64 and 32-bit x86, each in a build tree of its own below
# this one (windows-x64/, windows-x86/), so that one workflow makes every
# package. Each tree has its own CPack configuration for its .zip; the
# package presets point CPack at them.
include(ExternalProject)
foreach(architecture IN ITEMS x64 x86)
  if(architecture STREQUAL "x64")
    set(toolchain ${PROJECT_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake)
  else()
    set(toolchain ${PROJECT_SOURCE_DIR}/cmake/mingw-w64-i686.cmake)
  endif()
  ExternalProject_Add(windows_${architecture}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${PROJECT_BINARY_DIR}/windows-${architecture}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${toolchain}
      -DCMAKE_BUILD_TYPE=Release
      -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
      -DQVX_BUILD_TESTS=OFF
    # Only CPack installs from these trees.
    INSTALL_COMMAND ""
    # The sources are this project's own; let the inner build decide what
    # is out of date.
    BUILD_ALWAYS ON)
endforeach()
