# The message catalogue.
#
# VGClient/vgmessages.inc holds the rows; tools/mcgen turns them into the
# bytes of a Windows message table, written three ways:
#   messages.bin              the raw table
#   vgmessagetable_data.cpp   the same bytes behind VgMessageTableBytes(),
#                             compiled into vg_objects on every build
#   messages.rc               message table 1, language 0x0409, embedding
#                             messages.bin; linked into the Windows DLL
#
# Include after the vg_objects and VAVarive32 targets are defined.
# Defines VG_MESSAGES_BIN, VG_MESSAGES_CPP and VG_MESSAGES_RC (the generated
# files) and the target vg_message_table that produces them.

set(VG_MESSAGE_ROWS ${CMAKE_SOURCE_DIR}/VGClient/vgmessages.inc)
set(VG_MCGEN_SOURCES
  ${CMAKE_SOURCE_DIR}/tools/mcgen/mcgen.cpp
  ${VG_MESSAGE_ROWS}
  ${CMAKE_SOURCE_DIR}/VGClient/vgmessagetable.h
  ${CMAKE_SOURCE_DIR}/VGClient/vgexports.inc
  ${CMAKE_SOURCE_DIR}/VGClient/vgsettings.inc)
set(VG_MESSAGES_DIR ${CMAKE_BINARY_DIR}/messages)
set(VG_MESSAGES_BIN ${VG_MESSAGES_DIR}/messages.bin)
set(VG_MESSAGES_CPP ${VG_MESSAGES_DIR}/vgmessagetable_data.cpp)
set(VG_MESSAGES_RC ${VG_MESSAGES_DIR}/messages.rc)
file(MAKE_DIRECTORY ${VG_MESSAGES_DIR})

# mcgen runs on the build machine. A native build makes it an ordinary
# target; a cross build compiles it with the build machine's own compiler,
# as a build step, so that edits to the rows rebuild it without reconfiguring.
if(CMAKE_CROSSCOMPILING)
  find_program(VG_HOST_CXX NAMES c++ g++ clang++ NO_CMAKE_FIND_ROOT_PATH)
  if(NOT VG_HOST_CXX)
    message(FATAL_ERROR "A C++ compiler for the build machine (c++) is needed to generate the message table")
  endif()
  if(CMAKE_HOST_WIN32)
    set(VG_MCGEN ${VG_MESSAGES_DIR}/mcgen.exe)
  else()
    set(VG_MCGEN ${VG_MESSAGES_DIR}/mcgen)
  endif()
  add_custom_command(
    OUTPUT ${VG_MCGEN}
    COMMAND ${VG_HOST_CXX} -std=c++17 -O1 -I${CMAKE_SOURCE_DIR}
            ${CMAKE_SOURCE_DIR}/tools/mcgen/mcgen.cpp -o ${VG_MCGEN}
    DEPENDS ${VG_MCGEN_SOURCES}
    COMMENT "Building mcgen for the build machine"
    VERBATIM)
  set(VG_MCGEN_DEPENDS ${VG_MCGEN})
else()
  add_executable(vg_mcgen tools/mcgen/mcgen.cpp)
  target_include_directories(vg_mcgen PRIVATE ${CMAKE_SOURCE_DIR})
  set(VG_MCGEN $<TARGET_FILE:vg_mcgen>)
  set(VG_MCGEN_DEPENDS vg_mcgen)
endif()

add_custom_command(
  OUTPUT ${VG_MESSAGES_BIN} ${VG_MESSAGES_CPP} ${VG_MESSAGES_RC}
  COMMAND ${VG_MCGEN} ${VG_MESSAGES_BIN} ${VG_MESSAGES_CPP} ${VG_MESSAGES_RC}
  DEPENDS ${VG_MCGEN_DEPENDS}
  COMMENT "Generating the message table"
  VERBATIM)
add_custom_target(vg_message_table DEPENDS ${VG_MESSAGES_BIN} ${VG_MESSAGES_CPP} ${VG_MESSAGES_RC})

target_sources(vg_objects PRIVATE ${VG_MESSAGES_CPP})
add_dependencies(vg_objects vg_message_table)

if(WIN32)
  enable_language(RC)
  target_sources(VAVarive32 PRIVATE ${VG_MESSAGES_RC})
  # The script only names the table file; rebuild the resource when it changes.
  set_source_files_properties(${VG_MESSAGES_RC} PROPERTIES OBJECT_DEPENDS ${VG_MESSAGES_BIN})
  add_dependencies(VAVarive32 vg_message_table)
endif()
