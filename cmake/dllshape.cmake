# The shape of the 32-bit DLL, checked on every build of it: export names
# against the module-definition file, each stdcall symbol's argument bytes
# against the export table, each alias at its routine's address, the message
# table against the catalogue, and imports of Windows' own DLLs only
# (tools/dllshape); and no test hook in it (nohooks.cmake).
#
# Include after catalogue.cmake (it finds the build machine's compiler).

# The catalogue's size: identifiers and the blocks of consecutive ones.
set(VG_MESSAGE_IDS 1254)
set(VG_MESSAGE_BLOCKS 159)

set(VG_DLLSHAPE ${CMAKE_BINARY_DIR}/dllshape)
add_custom_command(
  OUTPUT ${VG_DLLSHAPE}
  COMMAND ${VG_HOST_CXX} -std=c++17 -O1 ${CMAKE_SOURCE_DIR}/tools/dllshape/dllshape.cpp -o ${VG_DLLSHAPE}
  DEPENDS ${CMAKE_SOURCE_DIR}/tools/dllshape/dllshape.cpp
  COMMENT "Building dllshape for the build machine"
  VERBATIM)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/dllshape.ok
  COMMAND ${VG_DLLSHAPE} $<TARGET_FILE:VAVarive32> ${CMAKE_BINARY_DIR}/VAVarive32.def ${VG_MESSAGES_BIN}
          ${VG_MESSAGE_IDS} ${VG_MESSAGE_BLOCKS} $<TARGET_OBJECTS:vg_objects>
  COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DLIB=$<TARGET_FILE:VAVarive32> -P ${CMAKE_SOURCE_DIR}/cmake/nohooks.cmake
  COMMAND ${CMAKE_COMMAND} -E touch ${CMAKE_BINARY_DIR}/dllshape.ok
  DEPENDS ${VG_DLLSHAPE} VAVarive32 ${VG_MESSAGES_BIN}
  COMMENT "Checking the shape of VAVarive32.dll"
  COMMAND_EXPAND_LISTS
  VERBATIM)
add_custom_target(vg_dll_shape ALL DEPENDS ${CMAKE_BINARY_DIR}/dllshape.ok)
