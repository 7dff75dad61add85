# Debian packages through CPack (DEB generator), one package per install component:
#   libbrenn0         runtime: libbrenn.so.0
#   libbrenn-dev      dev: brenn.h, brenn.hpp, libbrenn.so, brenn.pc, the CMake package, the
#                     pages of sections 3 and 7
#   libolk0-standin   olk: the host stand-in of libolk.so.0 with olk.h, olk_standin.h and
#                     libolk.so; a platform that ships its own libolk.so.0 leaves it out
#   brenn-tools       tools: brennctl and brennctl(1), when the tool is built, with the boot unit
#                     brenn-shared.service and its environment file /etc/default/brenn-shared
# `cpack` in the build directory writes them to <build>/packages (scripts/gate-package).
# The packages install under /usr, the libraries into the multiarch directory
# usr/lib/<triplet> (CMAKE_INSTALL_LIBDIR). The architecture is the target's: dpkg's own for a
# native build, derived from CMAKE_SYSTEM_PROCESSOR for a cross build. The library packages and
# libbrenn-dev are Multi-Arch: same (those of several architectures install side by side, as a
# 64-bit and a 32-bit process share queues), brenn-tools is Multi-Arch: foreign.

set(BRENN_MAINTAINER "brenn maintainers <maintainers@brenn.invalid>"
    CACHE STRING "Maintainer field of the Debian packages")

# Debian's architecture name of the build's target.
function(brenn_debian_architecture out)
  if(NOT CMAKE_CROSSCOMPILING)
    find_program(BRENN_DPKG dpkg)
    if(BRENN_DPKG)
      execute_process(COMMAND ${BRENN_DPKG} --print-architecture
                      OUTPUT_VARIABLE arch OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
      if(rc EQUAL 0 AND arch)
        set(${out} ${arch} PARENT_SCOPE)
        return()
      endif()
    endif()
  endif()
  string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" cpu)
  if(cpu MATCHES "^(aarch64|arm64)$")
    set(arch arm64)
  elseif(cpu MATCHES "^arm")  # armv7l, armv7-a, arm: the toolchain is arm-linux-gnueabihf
    set(arch armhf)
  elseif(cpu MATCHES "^(x86_64|amd64)$")
    set(arch amd64)
  elseif(cpu MATCHES "^i[3-6]86$")
    set(arch i386)
  else()
    set(arch ${cpu})
  endif()
  set(${out} ${arch} PARENT_SCOPE)
endfunction()

# The documentation every Debian package carries: its copyright file and its changelog,
# generated here (the changelog from the project's version) and installed only by the
# component installs that CPack makes (EXCLUDE_FROM_ALL keeps them out of `cmake --install`).
set(BRENN_DEB_DOC_DIR ${PROJECT_BINARY_DIR}/debian-doc)
# The day of the commit built (cmake/source_date.cmake); file(CONFIGURE) writes only what
# changed, so a reconfiguration rebuilds nothing.
include(${PROJECT_SOURCE_DIR}/cmake/source_date.cmake)
string(TIMESTAMP BRENN_DEB_DATE "%a, %d %b %Y 00:00:00 +0000" UTC)
string(TIMESTAMP BRENN_DEB_YEAR "%Y" UTC)
file(CONFIGURE OUTPUT ${BRENN_DEB_DOC_DIR}/copyright @ONLY CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: brenn
Comment: libbrenn.so.0, its C++ layer, the operator tool brennctl and the host stand-in of
 libolk.so.0, built from one source tree.

Files: *
Copyright: @BRENN_DEB_YEAR@ the brenn developers
License: brenn-internal

License: brenn-internal
 Internal software of the brenn project, distributed with the systems it is built for.
 No licence to redistribute is given beyond that.
")
file(CONFIGURE OUTPUT ${BRENN_DEB_DOC_DIR}/changelog @ONLY CONTENT
"brenn (@PROJECT_VERSION@) unstable; urgency=medium

  * Release @PROJECT_VERSION@: libbrenn.so.0 with the local and the shared queue
    families, the header-only C++ layer, the CMake package and the manual pages.

 -- @BRENN_MAINTAINER@  @BRENN_DEB_DATE@
")
find_program(BRENN_GZIP gzip)
set(BRENN_DEB_CHANGELOG ${BRENN_DEB_DOC_DIR}/changelog.gz)
add_custom_command(OUTPUT ${BRENN_DEB_CHANGELOG}
  COMMAND ${BRENN_GZIP} -9nfk ${BRENN_DEB_DOC_DIR}/changelog
  DEPENDS ${BRENN_DEB_DOC_DIR}/changelog VERBATIM)
add_custom_target(brenn_debian_doc ALL DEPENDS ${BRENN_DEB_CHANGELOG})

# The library packages run ldconfig through dpkg's trigger, not from maintainer scripts: CPack
# writes postinst and postrm that call it for a library in /usr/lib unless the package brings
# its own, so they get scripts that do nothing beside the trigger.
file(CONFIGURE OUTPUT ${BRENN_DEB_DOC_DIR}/control/triggers CONTENT "activate-noawait ldconfig\n")
foreach(script postinst postrm)
  file(CONFIGURE OUTPUT ${BRENN_DEB_DOC_DIR}/control/${script}
       CONTENT "#!/bin/sh\n# ldconfig runs through the package's trigger.\nset -e\nexit 0\n")
endforeach()
set(BRENN_DEB_LIBRARY_CONTROL ${BRENN_DEB_DOC_DIR}/control/triggers
    ${BRENN_DEB_DOC_DIR}/control/postinst ${BRENN_DEB_DOC_DIR}/control/postrm)

# With them, the package's lintian overrides (cmake/lintian-overrides/<package>), where it has
# some: each says why the tag does not apply.
function(brenn_package_docs component package)
  install(FILES ${BRENN_DEB_DOC_DIR}/copyright ${BRENN_DEB_CHANGELOG}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
  set(overrides ${PROJECT_SOURCE_DIR}/cmake/lintian-overrides/${package})
  if(EXISTS ${overrides})
    install(FILES ${overrides} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
            COMPONENT ${component} EXCLUDE_FROM_ALL)
  endif()
endfunction()

# What depends on the tools target runs at the end of the top-level directory, once every
# subdirectory (tools/ among them) has been added.
function(brenn_packaging_finish)
  set(components runtime dev olk)
  if(TARGET brennctl)
    list(APPEND components tools)
    if(BRENN_MAN_TOOL_PAGE)
      install(FILES ${BRENN_MAN_TOOL_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
              COMPONENT tools)
    endif()
  endif()

  brenn_package_docs(runtime libbrenn0)
  brenn_package_docs(dev libbrenn-dev)
  brenn_package_docs(olk libolk0-standin)
  brenn_package_docs(tools brenn-tools)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME brenn)
  # CPack's own default: the Debian generator then takes each component's first description
  # line as that package's synopsis, rather than putting one summary before them all.
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
  set(CPACK_PACKAGE_VENDOR "the brenn developers")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_CONTACT "${BRENN_MAINTAINER}")
  set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
      OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(CPACK_COMPONENTS_ALL ${components})
  set(CPACK_COMPONENTS_GROUPING IGNORE)
  set(CPACK_DEB_COMPONENT_INSTALL ON)

  brenn_debian_architecture(arch)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${arch})
  # CPack's DEB generator of CMake 3.25 writes no Multi-Arch field: a post-build script adds it.
  set(CPACK_BRENN_MULTIARCH
      "libbrenn0=same;libbrenn-dev=same;libolk0-standin=same;brenn-tools=foreign")
  set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb_multiarch.cmake)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${BRENN_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # A shlibs file for every package with a shared library: libbrenn0 (= version), libolk0-standin.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # dpkg-shlibdeps reads the dependencies of the ELF files from the host's package database:
  # it knows the target's C and C++ libraries only in a native build (for a cross build it
  # would find the toolchain's libc6-arm64-cross and the like, which no target system has).
  # A cross build names them by hand, each package the libraries its files link (readelf -d;
  # scripts/gate-package checks them): libbrenn.so.0 only the C library, libolk.so.0 also the
  # C++ library, brennctl also libgcc_s (and on 32-bit ARM all three). The lowest versions are
  # the toolchain's own: the C library's from its features.h, the C++ library's from the
  # compiler's major version. Safe floors, perhaps higher than dpkg-shlibdeps would find from
  # the symbols used.
  if(CMAKE_CROSSCOMPILING)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
    find_file(BRENN_TARGET_FEATURES_H features.h PATHS ${CMAKE_FIND_ROOT_PATH}
              PATH_SUFFIXES include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    set(libc libc6)
    if(BRENN_TARGET_FEATURES_H)
      file(STRINGS ${BRENN_TARGET_FEATURES_H} glibc
           REGEX "^#[ \t]*define[ \t]+__GLIBC(_MINOR)?__[ \t]+[0-9]+")
      string(REGEX REPLACE ".*__GLIBC__[ \t]+([0-9]+).*__GLIBC_MINOR__[ \t]+([0-9]+).*"
             "\\1.\\2" glibc "${glibc}")
      if(glibc MATCHES "^[0-9]+\\.[0-9]+$")
        set(libc "libc6 (>= ${glibc})")
      endif()
    endif()
    set(libcxx "libstdc++6")
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      string(REGEX MATCH "^[0-9]+" gcc_major "${CMAKE_CXX_COMPILER_VERSION}")
      set(libcxx "libstdc++6 (>= ${gcc_major})")
    endif()
    set(runtime_libs "${libc}")
    set(olk_libs "${libc}, ${libcxx}")
    # 32-bit ARM's C++ code unwinds through libgcc_s (__aeabi_unwind_cpp_pr0 and the like).
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "^[Aa][Rr][Mm]")
      string(APPEND runtime_libs ", libgcc-s1 (>= 3.0)")
      set(olk_libs "${libc}, libgcc-s1 (>= 3.0), ${libcxx}")
    endif()
    set(tools_libs "${libc}, libgcc-s1 (>= 3.0), ${libcxx}")
  else()
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    # Where this build's own libraries are, so that it finds libolk.so.0 and libbrenn.so.0
    # (it has no dependency information for them: their packages' Depends name them).
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS)
    foreach(target brenn olk)
      get_target_property(dir ${target} LIBRARY_OUTPUT_DIRECTORY)
      if(NOT dir)
        get_target_property(dir ${target} BINARY_DIR)
      endif()
      list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${dir})
    endforeach()
    set(runtime_libs "")
    set(olk_libs "")
    set(tools_libs "")
  endif()
  # <var>: the package's own dependencies, then the system libraries of a cross build.
  macro(brenn_with_system_libs var libs)
    if(${libs})
      set(${var} "${ARGN}, ${${libs}}")
    else()
      set(${var} "${ARGN}")
    endif()
  endmacro()
  set(version "${PROJECT_VERSION}")

  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libbrenn0)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
  brenn_with_system_libs(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS runtime_libs "libolk0")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${BRENN_DEB_LIBRARY_CONTROL})
  set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
      "ring queues of buffer handles (runtime library)
libbrenn.so.0 gives the programs of a system ring queues of opaque buffer
handles with timestamps: one producer, one main reader and up to 128 peek
sessions per queue, inside one process or shared between processes through
one System V shared-memory segment. It needs the platform's support library
libolk.so.0.")

  set(CPACK_DEBIAN_DEV_PACKAGE_NAME libbrenn-dev)
  set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libbrenn0 (= ${version}), libolk-dev")
  set(CPACK_DEBIAN_DEV_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_DEV_DESCRIPTION
      "ring queues of buffer handles (development files)
The C interface brenn.h, the header-only C++20 layer brenn.hpp, the
development link, the pkg-config file brenn.pc, the CMake package
(find_package(brenn CONFIG), target brenn::brenn) and the manual pages of
sections 3 and 7.")

  set(CPACK_DEBIAN_OLK_PACKAGE_NAME libolk0-standin)
  set(CPACK_DEBIAN_OLK_PACKAGE_SECTION libs)
  if(olk_libs)
    set(CPACK_DEBIAN_OLK_PACKAGE_DEPENDS "${olk_libs}")
  endif()
  set(CPACK_DEBIAN_OLK_PACKAGE_PROVIDES "libolk0, libolk-dev")
  set(CPACK_DEBIAN_OLK_PACKAGE_CONFLICTS "libolk0, libolk-dev")
  set(CPACK_DEBIAN_OLK_PACKAGE_REPLACES "libolk0, libolk-dev")
  set(CPACK_DEBIAN_OLK_PACKAGE_CONTROL_EXTRA ${BRENN_DEB_LIBRARY_CONTROL})
  set(CPACK_DEBIAN_OLK_DESCRIPTION
      "host stand-in of the platform support library libolk.so.0
Shared-memory segments and semaphore sets by key, logging, time text and
buffer return, as libbrenn.so.0 needs them, for machines that have no
platform support library. Includes its headers and development link. A
platform that ships its own libolk.so.0 installs that package instead.")

  set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME brenn-tools)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION admin)
  brenn_with_system_libs(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS tools_libs
                         "libbrenn0 (= ${version}), libolk0")
  # The environment file of the boot unit (tools/CMakeLists.txt) is the administrator's to edit.
  file(CONFIGURE OUTPUT ${BRENN_DEB_DOC_DIR}/control-tools/conffiles
       CONTENT "/etc/default/brenn-shared\n")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${BRENN_DEB_DOC_DIR}/control-tools/conffiles)
  set(CPACK_DEBIAN_TOOLS_DESCRIPTION
      "operator tool of brenn's shared queues
brennctl lists the shared queues and their sessions, watches their rates
and lags, shows held queue locks and their holders, prints them as
Prometheus metrics, dumps a queue, and creates, resets or destroys the
shared system. brenn-shared.service (installed, not enabled) creates the
shared system at boot.")

  include(CPack)
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL brenn_packaging_finish)
