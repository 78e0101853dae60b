// The interpreter's own entry point, built into a program linked with the
// sanitizer runtimes, so that they are loaded first in every Python process
// of a sanitizer run: the interpreter is not instrumented, and the module
// built with the sanitizers needs them in place before anything else. Unlike
// a preloaded runtime, nothing reaches the programs that those processes
// start (su, bash, pkill, ...).
#include <Python.h>

int main(int argc, char** argv) { return Py_BytesMain(argc, argv); }
