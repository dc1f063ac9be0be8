# Run by `cmake --install` (through install(CODE)): writes a file whose text depends on the prefix the
# tree is installed into, which may differ from the one given when the build was configured
# (cmake --install --prefix P). DESTDIR and the install manifest are handled by file(INSTALL).
#
# In:  ZEL_IN (template), ZEL_NAME (installed file name), ZEL_DIR (destination, relative to the
#      prefix or absolute), ZEL_LIBDIR, ZEL_INCLUDEDIR, ZEL_BINDIR (relative or absolute),
#      ZEL_VERSION, ZEL_STAGE (a directory of the build tree for the generated copy).
get_filename_component(ZEL_PREFIX "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)

# A directory as the .pc file writes it: under ${prefix} when it is relative to the prefix.
foreach(kind LIBDIR INCLUDEDIR BINDIR)
  if(IS_ABSOLUTE "${ZEL_${kind}}")
    set(ZEL_PC_${kind} "${ZEL_${kind}}")
    set(ZEL_FULL_${kind} "${ZEL_${kind}}")
  else()
    set(ZEL_PC_${kind} "\${prefix}/${ZEL_${kind}}")
    set(ZEL_FULL_${kind} "${ZEL_PREFIX}/${ZEL_${kind}}")
  endif()
endforeach()
set(ZEL_PC_PREFIX "${ZEL_PREFIX}")
set(PROJECT_VERSION "${ZEL_VERSION}")

file(READ "${ZEL_IN}" text)
string(CONFIGURE "${text}" text @ONLY)
# The unit names the tool where a distribution puts it; point it at this installation's copy.
string(REPLACE "ExecStart=/usr/bin/tqr " "ExecStart=${ZEL_FULL_BINDIR}/tqr " text "${text}")

string(MD5 stage_key "${ZEL_PREFIX}")
set(staged "${ZEL_STAGE}/${stage_key}/${ZEL_NAME}")
file(WRITE "${staged}" "${text}")

if(IS_ABSOLUTE "${ZEL_DIR}")
  set(destination "${ZEL_DIR}")
else()
  set(destination "${ZEL_PREFIX}/${ZEL_DIR}")
endif()
file(INSTALL DESTINATION "${destination}" TYPE FILE FILES "${staged}")
