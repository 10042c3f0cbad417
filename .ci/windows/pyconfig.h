/* The configuration CPython's Windows build gives extensions on 64-bit
   Windows, as far as the limited API reads it; it stands in for the
   build machine's own when the extension is cross-compiled with MinGW. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#define MS_WIN64
#define MS_WIN32
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD

/* Functions and data come from python3.dll, declared dllimport. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_PID_T SIZEOF_INT
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4

#define HAVE_SSIZE_T 1
#define HAVE_WCHAR_H 1
#define HAVE_STDDEF_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_ERRNO_H 1
#define HAVE_SIGNAL_H 1

#endif
