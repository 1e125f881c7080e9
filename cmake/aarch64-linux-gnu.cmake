# SPDX-License-Identifier: BSD-2-Clause
# Cross-builds for 64-bit ARM with Debian's cross compiler
# (g++-aarch64-linux-gnu) and multiarch libraries (libgtest-dev:arm64):
#   cmake -B build-arm64 --toolchain cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Multiarch: arm64 libraries and their CMake packages live under
# /usr/lib/aarch64-linux-gnu, beside the host's, headers in /usr/include.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
