/* pyconfig.h for compiling extension modules for 64-bit Windows against
 * another system's CPython headers (scripts/cross-build.sh). It holds what
 * the headers an extension includes ask of it: the sizes of an LLP64 system,
 * and that the interpreter is a DLL whose symbols are imported. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#define MS_WINDOWS
#define MS_WIN32
#define MS_WIN64
#define NT_THREADS
#define WITH_THREAD
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

#include <basetsd.h>
typedef SSIZE_T Py_ssize_t;
#define HAVE_PY_SSIZE_T 1

#define PYLONG_BITS_IN_DIGIT 30
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_PID_T 8  /* MinGW's pid_t */
#define SIZEOF__BOOL 1
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_MAX_ALIGN_T 8
#define HAVE_WCHAR_H 1
#define HAVE_USABLE_WCHAR_T 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_LARGEFILE_SUPPORT 1
#define WITH_PYMALLOC 1
#define WITH_DOC_STRINGS 1
#define WITH_FREELISTS 1

#endif
