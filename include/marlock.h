/*
 * Marlock.dll: the update and installation-support library of Parvel.
 *
 * Every export is exported by name, undecorated. Those with an argument use
 * the __stdcall convention (the callee removes its argument). Every export
 * returns a ONE-BYTE boolean: only the low byte of the return register is
 * defined, so declare the result as bool (C++) or unsigned char (C), never
 * as a 32-bit BOOL. Every export runs to its end on the calling thread and
 * blocks it, network requests and message boxes included.
 *
 * Link against the import library, or load the library and look the names
 * up with GetProcAddress and the PFN_ types below.
 */
#ifndef MARLOCK_H
#define MARLOCK_H

#include <wchar.h>

#ifdef __cplusplus
typedef bool MarlockBool;
#define MARLOCK_EXTERN_C extern "C"
#else
typedef unsigned char MarlockBool;
#define MARLOCK_EXTERN_C
#endif

#if defined(MARLOCK_BUILDING)
#define MARLOCK_API MARLOCK_EXTERN_C
#else
#define MARLOCK_API MARLOCK_EXTERN_C __declspec(dllimport)
#endif

/*
 * Shows the MD5 digest of a file in a message box with no owner window:
 * caption "Parvel", text "该文件MD5值为:" followed by 32 lowercase hexadecimal
 * digits, OK button, information icon. A file that can't be opened (missing,
 * no access, empty path) shows the label alone. A null pointer counts as an
 * empty path. Returns true when the box has been closed.
 */
MARLOCK_API MarlockBool __stdcall GetMD5ForFileManager(const wchar_t* path);
typedef MarlockBool(__stdcall* PFN_GetMD5ForFileManager)(const wchar_t* path);

#endif /* MARLOCK_H */
