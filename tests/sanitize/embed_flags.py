"""Prints the compiler and linker flags that embed this interpreter in a
program: its headers, its library (shared or static) and what that library
needs."""

import sysconfig

v = sysconfig.get_config_vars()
libdir = v["LIBDIR"] if v["Py_ENABLE_SHARED"] else v["LIBPL"]
flags = [f"-I{sysconfig.get_paths()['include']}", f"-L{libdir}", f"-Wl,-rpath,{libdir}",
         f"-lpython{v['LDVERSION']}", v["LIBS"], v["SYSLIBS"], v["LINKFORSHARED"]]
print(" ".join(f for f in flags if f))
