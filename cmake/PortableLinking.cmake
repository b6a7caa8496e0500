# Links the extension so that it loads on glibc 2.17 and later, whatever
# glibc it is built on: what the manylinux2014 wheels promise, checked on
# each wheel by scripts/wheels (readelf: the libraries it needs, the symbol
# versions it asks for).
#
# - The dynamic-linker functions.  glibc 2.34 moved dlopen, dlsym, dladdr
#   and dlerror from libdl into libc, under the new version GLIBC_2.34
#   (keeping the old GLIBC_2.2.5 ones for programs linked earlier).  Linked
#   here against glibc 2.34 or later, the extension would ask for
#   GLIBC_2.34 and not load on older systems.  So it is linked against a
#   stand-in libdl.so.2 (dl_link_stub.cpp) that defines them at
#   GLIBC_2.2.5, as libdl did: the extension then needs libdl.so.2 at
#   GLIBC_2.2.5, exactly what an extension linked on glibc 2.17 needs.
#   Every glibc from 2.2.5 on provides that: libdl.so.2 itself before 2.34,
#   from 2.34 a libdl.so.2 that keeps the version while the dynamic linker
#   finds the functions in libc at that version.  The stand-in is read at
#   link time only; the extension records no path to it.
# - No C++ runtime.  The code uses none of it (no exceptions, no operator
#   new, no local statics with dynamic initialisation, whose guards are
#   the runtime's), and --as-needed drops libstdc++.so.6 and libm.so.6,
#   which the C++ compiler driver adds to every link.  A use creeping back
#   in shows as a GLIBCXX or CXXABI version, which the wheel check refuses.
#
# smsline_link_portably(TARGET)
function(smsline_link_portably target)
  add_library(smsline_dl_link_stub SHARED "${PROJECT_SOURCE_DIR}/cmake/dl_link_stub.cpp")
  set_target_properties(smsline_dl_link_stub PROPERTIES NO_SONAME ON LINK_DEPENDS "${PROJECT_SOURCE_DIR}/cmake/dl_link_stub.map")
  target_link_options(smsline_dl_link_stub PRIVATE "-Wl,-soname,libdl.so.2"
                      "-Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/dl_link_stub.map")
  target_link_options(${target} PRIVATE -Wl,--as-needed)
  target_link_libraries(${target} PRIVATE smsline_dl_link_stub)
  # The stand-in's directory on the extension's run path would not find it
  # (its file name is not libdl.so.2), but the extension needs no run path.
  set_target_properties(${target} PROPERTIES SKIP_BUILD_RPATH ON)
endfunction()
