# The USDT probes of libbrenn.so.0 (engine/trace.h) need <sys/sdt.h> at build time only (Debian:
# systemtap-sdt-dev); the library gains no run-time dependency. BRENN_PROBES:
#   AUTO  the probes when the header is found (the default), none otherwise
#   ON    the probes, or a configuration error
#   OFF   none: every probe compiles to nothing
# BRENN_PROBES_BUILT tells the rest of the build (tests/trace) which it came to.
set(BRENN_PROBES AUTO CACHE STRING "USDT probes in libbrenn.so.0: AUTO, ON or OFF")
set_property(CACHE BRENN_PROBES PROPERTY STRINGS AUTO ON OFF)
set(BRENN_PROBES_BUILT OFF)

if(NOT BRENN_PROBES STREQUAL "OFF")
  include(CheckIncludeFileCXX)
  find_path(BRENN_SDT_INCLUDE_DIR sys/sdt.h)
  if(NOT BRENN_SDT_INCLUDE_DIR AND CMAKE_CROSSCOMPILING)
    # A sysroot rarely has the header, but it is one header for every architecture (its
    # sdt-config.h only says whether the assembler takes "?" in .pushsection, which every
    # binutils of Debian's cross toolchains does): take this machine's, through a directory of
    # links in the build tree, so that no other header of this machine comes with it.
    file(GLOB host_sdt LIST_DIRECTORIES false /usr/include/*/sys/sdt.h /usr/include/sys/sdt.h)
    if(host_sdt)
      list(GET host_sdt 0 host_sdt)
      get_filename_component(host_sys ${host_sdt} DIRECTORY)
      set(links ${PROJECT_BINARY_DIR}/sdt-headers)
      file(MAKE_DIRECTORY ${links}/sys)
      foreach(header sdt.h sdt-config.h)
        file(CREATE_LINK ${host_sys}/${header} ${links}/sys/${header} SYMBOLIC)
      endforeach()
      set(BRENN_SDT_INCLUDE_DIR ${links} CACHE PATH "Where sys/sdt.h is" FORCE)
    endif()
  endif()
  if(BRENN_SDT_INCLUDE_DIR)
    set(CMAKE_REQUIRED_INCLUDES ${BRENN_SDT_INCLUDE_DIR})
    check_include_file_cxx(sys/sdt.h BRENN_HAVE_SDT_H)
    unset(CMAKE_REQUIRED_INCLUDES)
  endif()
  if(BRENN_HAVE_SDT_H)
    set(BRENN_PROBES_BUILT ON)
  elseif(BRENN_PROBES STREQUAL "ON")
    message(FATAL_ERROR "BRENN_PROBES=ON but <sys/sdt.h> was not found (systemtap-sdt-dev)")
  endif()
endif()

if(BRENN_PROBES_BUILT)
  # Relative, as the other sources: tests/fuzz compiles them again from this list.
  target_sources(brenn_objects PRIVATE engine/trace.cpp)
  target_include_directories(brenn_objects SYSTEM PRIVATE ${BRENN_SDT_INCLUDE_DIR})
  target_compile_definitions(brenn_objects PRIVATE BRENN_PROBES=1)
  message(STATUS "USDT probes: on (<sys/sdt.h> in ${BRENN_SDT_INCLUDE_DIR})")
else()
  message(STATUS "USDT probes: off (BRENN_PROBES=${BRENN_PROBES}; <sys/sdt.h> not found or not "
                 "wanted)")
endif()
