// Link-time stand-in for libdl.so.2 as glibc before 2.34 has it: dlopen,
// dlsym, dladdr and dlerror at the version GLIBC_2.2.5 (see
// PortableLinking.cmake).  Only the linker reads it; the extension runs
// with the system's own libdl.so.2 and libc.so.6, so these bodies never run.
extern "C" {
void dlopen() {}
void dlsym() {}
void dladdr() {}
void dlerror() {}
}
