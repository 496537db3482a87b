# SPDX-License-Identifier: BSD-2-Clause
# Cross build for FreeBSD 13.5 amd64 with Debian's clang 19 and lld 19, against
# a FreeBSD system root: FreeBSD's own headers, its libc++ and the base
# libraries the tool links against. Binaries built for 13.5 run on later
# releases too, since the base libraries keep their symbol versions.
#
# The root is FREEBSD_SYSROOT (cache variable or environment), by default the
# shared/freebsd-sysroot folder beside the source tree.

set(CMAKE_SYSTEM_NAME FreeBSD)
set(CMAKE_SYSTEM_VERSION 13.5)
set(CMAKE_SYSTEM_PROCESSOR amd64)

if(NOT FREEBSD_SYSROOT)
  if(DEFINED ENV{FREEBSD_SYSROOT} AND NOT "$ENV{FREEBSD_SYSROOT}" STREQUAL "")
    set(FREEBSD_SYSROOT "$ENV{FREEBSD_SYSROOT}")
  else()
    get_filename_component(FREEBSD_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../../shared/freebsd-sysroot"
                           ABSOLUTE)
  endif()
endif()
if(NOT EXISTS "${FREEBSD_SYSROOT}/usr/include/sys/param.h")
  message(FATAL_ERROR "no FreeBSD system root at \"${FREEBSD_SYSROOT}\": "
                      "set FREEBSD_SYSROOT to one (its usr/include and lib folders)")
endif()
set(FREEBSD_SYSROOT "${FREEBSD_SYSROOT}" CACHE PATH "FreeBSD system root of the cross build")
# The compiler checks run in projects of their own; they need the root too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FREEBSD_SYSROOT)

set(CMAKE_SYSROOT "${FREEBSD_SYSROOT}")
set(CMAKE_CXX_COMPILER clang++-19)
set(CMAKE_CXX_COMPILER_TARGET x86_64-unknown-freebsd13.5)
# FreeBSD links with lld; Debian names it by its version.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld-19")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld-19")

# Headers and libraries come from the root alone; programs run here.
set(CMAKE_FIND_ROOT_PATH "${FREEBSD_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
