/*
 * kxwin: the subset of the Win32 API that libzrnapi01 and libkxenv use,
 * under its Win32 names, types and result codes, implemented for Linux.
 *
 * Only this layer knows it runs on Linux. The layers above include this
 * header where a Windows build would include <windows.h>.
 *
 * Handles: HANDLE values made here are small tagged numbers, never
 * addresses; a closed or foreign value is refused with ERROR_INVALID_HANDLE.
 * Events and named mutexes live in a file shared by every process that uses
 * the same store directory (KX_REGISTRY), so any process can signal an event
 * that a registry change notification names.
 *
 * Texts are zero-terminated UTF-8 strings; file paths use '/', registry key
 * paths use '\'.
 */
#ifndef KXWIN_KXWIN_H
#define KXWIN_KXWIN_H

#include <stddef.h>
#include <stdint.h>

#if defined(KXWIN_BUILD)
#define KXWIN_API __attribute__((visibility("default")))
#else
#define KXWIN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Base types ------------------------------------------------------- */

#define WINAPI
#define CALLBACK
#define __stdcall

typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int64_t LONGLONG;
typedef uint32_t ULONG;
typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef int INT;
typedef unsigned int UINT;
typedef char CHAR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef size_t SIZE_T;
typedef intptr_t LONG_PTR;
typedef LONG LSTATUS;
typedef DWORD REGSAM;
typedef DWORD LCID;
typedef DWORD LCTYPE;

typedef void* LPVOID;
typedef const void* LPCVOID;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef DWORD* LPDWORD;
typedef LONG* LPLONG;
typedef BYTE* LPBYTE;
typedef const BYTE* LPCBYTE;
typedef BOOL* LPBOOL;

typedef void* HANDLE;
typedef HANDLE* LPHANDLE;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef void* HGDIOBJ;
typedef void* HFONT;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define MAX_PATH 260
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INFINITE 0xFFFFFFFFu

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

/* An absolute security descriptor; objects made with one that was not
 * initialised are refused (ERROR_UNKNOWN_REVISION). */
typedef struct _SECURITY_DESCRIPTOR {
  BYTE Revision;
  BYTE Sbz1;
  WORD Control;
  void* Owner;
  void* Group;
  void* Sacl;
  void* Dacl;
} SECURITY_DESCRIPTOR;
typedef void* PSECURITY_DESCRIPTOR;
typedef void* PACL;
#define SECURITY_DESCRIPTOR_REVISION 1
#define SECURITY_DESCRIPTOR_MIN_LENGTH (sizeof(SECURITY_DESCRIPTOR))
#define SE_DACL_PRESENT 0x0004
#define SE_DACL_DEFAULTED 0x0008

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME;

/* ---- Errors ----------------------------------------------------------- */

#define ERROR_SUCCESS 0
#define NO_ERROR 0
#define ERROR_INVALID_FUNCTION 1
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_INVALID_DATA 13
#define ERROR_OUTOFMEMORY 14
#define ERROR_WRITE_PROTECT 19
#define ERROR_WRITE_FAULT 29
#define ERROR_READ_FAULT 30
#define ERROR_NOT_SAME_DEVICE 17
#define ERROR_SHARING_VIOLATION 32
#define ERROR_HANDLE_DISK_FULL 39
#define ERROR_NOT_SUPPORTED 50
#define ERROR_FILE_EXISTS 80
#define ERROR_INVALID_PARAMETER 87
#define ERROR_BROKEN_PIPE 109
#define ERROR_BUFFER_OVERFLOW 111
#define ERROR_DISK_FULL 112
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_INVALID_NAME 123
#define ERROR_MOD_NOT_FOUND 126
#define ERROR_DIR_NOT_EMPTY 145
#define ERROR_BUSY 170
#define ERROR_ALREADY_EXISTS 183
#define ERROR_TRANSFER_TOO_LONG 222
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_MORE_DATA 234
#define ERROR_NO_MORE_ITEMS 259
#define ERROR_DIRECTORY 267
#define ERROR_NOT_OWNER 288
#define ERROR_TOO_MANY_POSTS 298
#define ERROR_MR_MID_NOT_FOUND 317
#define ERROR_ENVVAR_NOT_FOUND 203
#define ERROR_BAD_PATHNAME 161
#define ERROR_INVALID_FLAGS 1004
#define ERROR_BADDB 1009
#define ERROR_BADKEY 1010
#define ERROR_CANTOPEN 1011
#define ERROR_CANTREAD 1012
#define ERROR_CANTWRITE 1013
#define ERROR_REGISTRY_IO_FAILED 1016
#define ERROR_KEY_DELETED 1018
#define ERROR_CHILD_MUST_BE_VOLATILE 1021
#define ERROR_FILE_CORRUPT 1392
#define ERROR_TIMEOUT 1460
#define ERROR_NOACCESS 998
#define ERROR_INVALID_ADDRESS 487
#define ERROR_MAPPED_ALIGNMENT 1132
#define ERROR_INVALID_DATATYPE 1804
#define ERROR_TRANSACTION_NOT_ACTIVE 6701
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813
#define ERROR_INTERNAL_ERROR 1359
#define ERROR_UNKNOWN_REVISION 1305

KXWIN_API DWORD GetLastError(void);
KXWIN_API void SetLastError(DWORD dwErrCode);

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF

/* FORMAT_MESSAGE_FROM_SYSTEM: the texts of the codes kxwin returns.
 * FORMAT_MESSAGE_FROM_HMODULE: message dwMessageId of a module (lpSource):
 * of a data file loaded with LOAD_LIBRARY_AS_DATAFILE, read as a POSIX
 * message catalog (set 1); of a loaded object, its string table (below).
 * Inserts are never expanded. ALLOCATE_BUFFER memory is released with
 * LocalFree. Returns the characters stored, 0 on failure. */
KXWIN_API DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource,
                               DWORD dwMessageId, DWORD dwLanguageId,
                               LPSTR lpBuffer, DWORD nSize, void* Arguments);
KXWIN_API HANDLE LocalFree(HANDLE hMem);

/* ---- Registry --------------------------------------------------------- */

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)0x80000000u)
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)0x80000001u)
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002u)
#define HKEY_USERS ((HKEY)(ULONG_PTR)0x80000003u)

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define DELETE_ACCESS 0x00010000
#define READ_CONTROL 0x00020000
#define KEY_READ 0x00020019
#define KEY_WRITE 0x00020006
#define KEY_EXECUTE KEY_READ
#define KEY_ALL_ACCESS 0x000F003F
#define MAXIMUM_ALLOWED 0x02000000

#define REG_OPTION_NON_VOLATILE 0x0000
#define REG_OPTION_VOLATILE 0x0001
#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2

#define REG_NOTIFY_CHANGE_NAME 0x00000001
#define REG_NOTIFY_CHANGE_ATTRIBUTES 0x00000002
#define REG_NOTIFY_CHANGE_LAST_SET 0x00000004
#define REG_NOTIFY_CHANGE_SECURITY 0x00000008
#define REG_NOTIFY_THREAD_AGNOSTIC 0x10000000

/* Longest key path below HKEY_LOCAL_MACHINE, in bytes without the
 * terminator; longest key name and value name. */
#define KXWIN_MAX_KEY_PATH 259
#define KXWIN_MAX_KEY_NAME 255
#define KXWIN_MAX_VALUE_NAME 16383

KXWIN_API LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions,
                                REGSAM samDesired, PHKEY phkResult);
KXWIN_API LSTATUS RegCreateKeyExA(
    HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
    REGSAM samDesired, const SECURITY_ATTRIBUTES* lpSecurityAttributes,
    PHKEY phkResult, LPDWORD lpdwDisposition);
KXWIN_API LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName,
                                   LPDWORD lpReserved, LPDWORD lpType,
                                   LPBYTE lpData, LPDWORD lpcbData);
/* Several values of one key, read from one snapshot. Fails with
 * ERROR_FILE_NOT_FOUND when any of them is missing; with ERROR_MORE_DATA and
 * the size needed in *ldwTotsize when lpValueBuf is null or short. */
typedef struct value_entA {
  LPSTR ve_valuename;
  DWORD ve_valuelen;
  DWORD_PTR ve_valueptr;
  DWORD ve_type;
} VALENTA, *PVALENTA;
KXWIN_API LSTATUS RegQueryMultipleValuesA(HKEY hKey, PVALENTA val_list,
                                          DWORD num_vals, LPSTR lpValueBuf,
                                          LPDWORD ldwTotsize);
/* This port's own: RegQueryMultipleValuesA of hKey, or of its subkey
 * lpSubKey (as RegGetValueA reads one value of a subkey it need not open),
 * except that a value the key does not have is no failure. Its entry gets
 * ve_valueptr 0, ve_valuelen 0 and ve_type REG_NONE, and takes no room in
 * the buffer. ERROR_FILE_NOT_FOUND means that the subkey is missing. A
 * reader of a key whose values vary reads all it has in one call. */
KXWIN_API LSTATUS KxwinQueryPresentValues(HKEY hKey, LPCSTR lpSubKey,
                                          PVALENTA val_list, DWORD num_vals,
                                          LPSTR lpValueBuf, LPDWORD ldwTotsize);
KXWIN_API LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved,
                                 DWORD dwType, const BYTE* lpData,
                                 DWORD cbData);
KXWIN_API LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
/* Deletes a key that has no subkeys. */
KXWIN_API LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
/* Deletes a key with its whole subtree; with a null or empty subkey, the
 * values and subkeys of hKey itself but not hKey. */
KXWIN_API LSTATUS RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey);
KXWIN_API LSTATUS RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName,
                              DWORD cchName);
KXWIN_API LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName,
                                LPDWORD lpcchName, LPDWORD lpReserved,
                                LPSTR lpClass, LPDWORD lpcchClass,
                                PFILETIME lpftLastWriteTime);
KXWIN_API LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName,
                                LPDWORD lpcchValueName, LPDWORD lpReserved,
                                LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData);
KXWIN_API LSTATUS RegQueryInfoKeyA(
    HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
    LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
    LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
    LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);
/* Arms a one-shot notification: hEvent is signalled by the first write, in
 * any process, that matches the filter on the key (or, with bWatchSubtree,
 * anywhere below it); closing hKey signals and drops the watch. */
KXWIN_API LSTATUS RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree,
                                          DWORD dwNotifyFilter, HANDLE hEvent,
                                          BOOL fAsynchronous);
KXWIN_API LSTATUS RegCloseKey(HKEY hKey);

/* Transactions: every key opened or created with a transaction writes into
 * it; CreateTransaction returns INVALID_HANDLE_VALUE on failure, as on
 * Windows; nothing is visible to other handles or processes, and no watch
 * fires, until CommitTransaction. A transaction not committed when its handle
 * is closed is rolled back.
 * A transaction made with CreateOptions KXWIN_TRANSACTION_READ_ONLY (this
 * port's own) takes no write lock: what it reads is one snapshot, writers
 * go on meanwhile, and every write in it fails with ERROR_ACCESS_DENIED. */
#define KXWIN_TRANSACTION_READ_ONLY 0x40000000u
KXWIN_API HANDLE
CreateTransaction(LPSECURITY_ATTRIBUTES lpTransactionAttributes, void* UOW,
                  DWORD CreateOptions, DWORD IsolationLevel,
                  DWORD IsolationFlags, DWORD Timeout, void* Description);
KXWIN_API BOOL CommitTransaction(HANDLE TransactionHandle);
KXWIN_API BOOL RollbackTransaction(HANDLE TransactionHandle);
KXWIN_API LSTATUS RegOpenKeyTransactedA(HKEY hKey, LPCSTR lpSubKey,
                                        DWORD ulOptions, REGSAM samDesired,
                                        PHKEY phkResult, HANDLE hTransaction,
                                        void* pExtendedParameter);
KXWIN_API LSTATUS RegCreateKeyTransactedA(
    HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
    REGSAM samDesired, const SECURITY_ATTRIBUTES* lpSecurityAttributes,
    PHKEY phkResult, LPDWORD lpdwDisposition, HANDLE hTransaction,
    void* pExtendedParameter);

/* ---- Handles, mutexes, events and waits -------------------------------- */

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_ABANDONED_0 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64

#define DUPLICATE_CLOSE_SOURCE 0x00000001
#define DUPLICATE_SAME_ACCESS 0x00000002
#define SYNCHRONIZE 0x00100000
#define MUTEX_ALL_ACCESS 0x001F0001
#define EVENT_ALL_ACCESS 0x001F0003

KXWIN_API HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes,
                              BOOL bInitialOwner, LPCSTR lpName);
/* Access to shared objects is decided by the store directory's permissions;
 * a descriptor is checked for its form only. */
KXWIN_API BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pDescriptor,
                                            DWORD dwRevision);
KXWIN_API BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pDescriptor,
                                         BOOL bDaclPresent, PACL pDacl,
                                         BOOL bDaclDefaulted);
KXWIN_API BOOL ReleaseMutex(HANDLE hMutex);
/* Unnamed events only: a name is refused with ERROR_NOT_SUPPORTED. */
KXWIN_API HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes,
                              BOOL bManualReset, BOOL bInitialState,
                              LPCSTR lpName);
KXWIN_API BOOL SetEvent(HANDLE hEvent);
KXWIN_API BOOL ResetEvent(HANDLE hEvent);

/* Shared sections: named, backed by no file (hFile INVALID_HANDLE_VALUE),
 * PAGE_READWRITE, of at most 256 bytes, and zero-filled when made; they live
 * in the objects file as long as named mutexes do. Others are refused with
 * ERROR_NOT_SUPPORTED (no file, no name) or ERROR_NOT_ENOUGH_MEMORY (larger).
 * A view is the section from offset 0, writable, and stays mapped as long
 * as the process runs; UnmapViewOfFile only checks its address. */
#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04
#define SEC_COMMIT 0x08000000
#define FILE_MAP_WRITE 0x0002
#define FILE_MAP_READ 0x0004
#define FILE_MAP_ALL_ACCESS 0x000F001F
KXWIN_API HANDLE CreateFileMappingA(HANDLE hFile,
                                    LPSECURITY_ATTRIBUTES lpAttributes,
                                    DWORD flProtect, DWORD dwMaximumSizeHigh,
                                    DWORD dwMaximumSizeLow, LPCSTR lpName);
KXWIN_API LPVOID MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess,
                               DWORD dwFileOffsetHigh, DWORD dwFileOffsetLow,
                               SIZE_T dwNumberOfBytesToMap);
KXWIN_API BOOL UnmapViewOfFile(LPCVOID lpBaseAddress);
/* Waits on an event, a mutex or a thread. */
KXWIN_API DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
/* Waits for any one of up to MAXIMUM_WAIT_OBJECTS events or threads; the
 * lowest signalled index wins. bWaitAll is refused (ERROR_NOT_SUPPORTED). */
KXWIN_API DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles,
                                       BOOL bWaitAll, DWORD dwMilliseconds);
KXWIN_API BOOL CloseHandle(HANDLE hObject);
KXWIN_API BOOL DuplicateHandle(HANDLE hSourceProcessHandle,
                               HANDLE hSourceHandle,
                               HANDLE hTargetProcessHandle,
                               LPHANDLE lpTargetHandle, DWORD dwDesiredAccess,
                               BOOL bInheritHandle, DWORD dwOptions);
KXWIN_API HANDLE GetCurrentProcess(void);
KXWIN_API HANDLE GetCurrentThread(void);
KXWIN_API DWORD GetCurrentProcessId(void);
KXWIN_API DWORD GetCurrentThreadId(void);

/* ---- Threads ---------------------------------------------------------- */

#define STILL_ACTIVE 259
#define CREATE_SUSPENDED 0x00000004
#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2
#define THREAD_PRIORITY_TIME_CRITICAL 15
#define THREAD_PRIORITY_IDLE (-15)

typedef unsigned(__stdcall* _beginthreadex_proc_type)(void*);

/* Returns a thread handle, 0 on failure (errno and the last error set). */
KXWIN_API uintptr_t _beginthreadex(void* security, unsigned stack_size,
                                   _beginthreadex_proc_type start_address,
                                   void* arglist, unsigned initflag,
                                   unsigned* thrdaddr);
KXWIN_API void _endthreadex(unsigned retval) __attribute__((noreturn));
KXWIN_API BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
/* Best effort: a priority the process may not set is recorded and TRUE
 * returned. */
KXWIN_API BOOL SetThreadPriority(HANDLE hThread, int nPriority);
KXWIN_API int GetThreadPriority(HANDLE hThread);
/* A thread may suspend itself; suspending another thread is refused
 * (ERROR_NOT_SUPPORTED). Both return the previous suspend count, or
 * (DWORD)-1 on failure. */
KXWIN_API DWORD SuspendThread(HANDLE hThread);
KXWIN_API DWORD ResumeThread(HANDLE hThread);
KXWIN_API BOOL SwitchToThread(void);
KXWIN_API void Sleep(DWORD dwMilliseconds);

/* Re-entrant lock of one process. The storage is opaque. */
typedef struct _RTL_CRITICAL_SECTION {
  union {
    long long align_;
    unsigned char bytes_[64];
  } opaque_;
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

KXWIN_API void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
KXWIN_API void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
KXWIN_API BOOL TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
KXWIN_API void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
KXWIN_API void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

/* ---- Files and profile (INI) files ------------------------------------ */

#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_NORMAL 0x00000080

#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define MOVEFILE_COPY_ALLOWED 0x00000002
#define MOVEFILE_WRITE_THROUGH 0x00000008

KXWIN_API DWORD GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName,
                                         LPCSTR lpDefault,
                                         LPSTR lpReturnedString, DWORD nSize,
                                         LPCSTR lpFileName);
KXWIN_API DWORD GetPrivateProfileSectionA(LPCSTR lpAppName,
                                          LPSTR lpReturnedString, DWORD nSize,
                                          LPCSTR lpFileName);
KXWIN_API DWORD GetPrivateProfileSectionNamesA(LPSTR lpszReturnBuffer,
                                               DWORD nSize, LPCSTR lpFileName);
KXWIN_API UINT GetPrivateProfileIntA(LPCSTR lpAppName, LPCSTR lpKeyName,
                                     INT nDefault, LPCSTR lpFileName);
KXWIN_API BOOL WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName,
                                          LPCSTR lpString, LPCSTR lpFileName);
KXWIN_API DWORD GetFileAttributesA(LPCSTR lpFileName);
KXWIN_API BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName,
                           DWORD dwFlags);
KXWIN_API BOOL CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName,
                         BOOL bFailIfExists);
KXWIN_API BOOL DeleteFileA(LPCSTR lpFileName);

/* ---- Modules ---------------------------------------------------------- */

#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004
#define LOAD_LIBRARY_AS_DATAFILE 0x00000002

/* hModule null: the executable's path. A module handle from
 * GetModuleHandleExA: that shared object's file. A data-file module from
 * LoadLibraryExA: the path it was loaded from. Truncates to nSize - 1
 * characters with ERROR_INSUFFICIENT_BUFFER and returns nSize then. */
KXWIN_API DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename,
                                   DWORD nSize);
KXWIN_API BOOL GetModuleHandleExA(DWORD dwFlags, LPCSTR lpModuleName,
                                  HMODULE* phModule);
/* Only LOAD_LIBRARY_AS_DATAFILE: records an existing file as a module. */
KXWIN_API HMODULE LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile,
                                 DWORD dwFlags);
KXWIN_API BOOL FreeLibrary(HMODULE hLibModule);

/* A shared library's entry point, called with DLL_PROCESS_ATTACH when the
 * library is loaded and DLL_PROCESS_DETACH when it is unloaded (or the
 * process ends), as the Windows loader calls DllMain:
 *   static BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved);
 *   KXWIN_DLL_ENTRY_POINT(DllMain)
 * Thread attach and detach are never reported. */
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3
#define KXWIN_DLL_ENTRY_POINT(entry)                                     \
  static HINSTANCE kxwin_dll_module_(void) {                             \
    HMODULE module = NULL;                                               \
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |          \
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, \
                       (LPCSTR)(void*)&kxwin_dll_module_, &module);      \
    return module;                                                       \
  }                                                                      \
  __attribute__((constructor)) static void kxwin_dll_attach_(void) {     \
    entry(kxwin_dll_module_(), DLL_PROCESS_ATTACH, NULL);                \
  }                                                                      \
  __attribute__((destructor)) static void kxwin_dll_detach_(void) {      \
    entry(kxwin_dll_module_(), DLL_PROCESS_DETACH, NULL);                \
  }

/* A loaded object's message table, the stand-in for a message-table
 * resource: the object defines and exports
 *   const KXWIN_STRING_TABLE kxwin_string_table = {count, texts};
 * where texts[n] is message n (texts[0] unused, null for a gap). */
typedef struct KXWIN_STRING_TABLE {
  unsigned count;
  const char* const* texts;
} KXWIN_STRING_TABLE;
#define KXWIN_STRING_TABLE_SYMBOL "kxwin_string_table"

/* ---- System information ----------------------------------------------- */

#define LOCALE_SYSTEM_DEFAULT 0x0800
#define LOCALE_USER_DEFAULT 0x0400
#define LOCALE_SSHORTDATE 0x0000001F
#define LOCALE_SLONGDATE 0x00000020
#define LOCALE_SISO639LANGNAME 0x00000059

/* LOCALE_SSHORTDATE (and LOCALE_SLONGDATE) of the system default locale: the
 * POSIX date format of LC_TIME as a Windows date picture (%m/%d/%y becomes
 * MM/dd/yy). LOCALE_SISO639LANGNAME: the language of messages that LC_ALL,
 * LC_MESSAGES or LANG names ("de"), "en" without one. cchData 0 asks for
 * the size. */
KXWIN_API int GetLocaleInfoA(LCID Locale, LCTYPE LCType, LPSTR lpLCData,
                             int cchData);
KXWIN_API BOOL GetUserNameA(LPSTR lpBuffer, LPDWORD pcbBuffer);

typedef struct _SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
} SYSTEMTIME, *LPSYSTEMTIME;

/* The current time, in the local time zone and in UTC. */
KXWIN_API void GetLocalTime(LPSYSTEMTIME lpSystemTime);
KXWIN_API void GetSystemTime(LPSYSTEMTIME lpSystemTime);
KXWIN_API BOOL GetComputerNameA(LPSTR lpBuffer, LPDWORD nSize);
/* The process environment. Returns the length without terminator, or the
 * size needed with it when nSize is too small; 0 with ERROR_ENVVAR_NOT_FOUND
 * when the variable is not set. */
KXWIN_API DWORD GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer,
                                        DWORD nSize);

/* The event log: messages go to the system log (syslog) under the source's
 * name. */
#define EVENTLOG_SUCCESS 0x0000
#define EVENTLOG_ERROR_TYPE 0x0001
#define EVENTLOG_WARNING_TYPE 0x0002
#define EVENTLOG_INFORMATION_TYPE 0x0004
KXWIN_API HANDLE RegisterEventSourceA(LPCSTR lpUNCServerName,
                                      LPCSTR lpSourceName);
KXWIN_API BOOL ReportEventA(HANDLE hEventLog, WORD wType, WORD wCategory,
                            DWORD dwEventID, void* lpUserSid, WORD wNumStrings,
                            DWORD dwDataSize, LPCSTR* lpStrings,
                            LPVOID lpRawData);
KXWIN_API BOOL DeregisterEventSource(HANDLE hEventLog);

#define LF_FACESIZE 32
#define SYSTEM_FONT 13
#define DEFAULT_GUI_FONT 17

typedef struct tagLOGFONTA {
  LONG lfHeight;
  LONG lfWidth;
  LONG lfEscapement;
  LONG lfOrientation;
  LONG lfWeight;
  BYTE lfItalic;
  BYTE lfUnderline;
  BYTE lfStrikeOut;
  BYTE lfCharSet;
  BYTE lfOutPrecision;
  BYTE lfClipPrecision;
  BYTE lfQuality;
  BYTE lfPitchAndFamily;
  CHAR lfFaceName[LF_FACESIZE];
} LOGFONTA, *LPLOGFONTA;

KXWIN_API HGDIOBJ GetStockObject(int i);
KXWIN_API int GetObjectA(HGDIOBJ h, int c, LPVOID pv);

/* ---- C runtime multibyte strings --------------------------------------- */

/* Case-insensitive comparison and upper-casing of UTF-8 text with the
 * Unicode case mapping, independent of the caller's locale. The registry
 * store compares key and value names with the same function. */
KXWIN_API int _mbsicmp(const unsigned char* a, const unsigned char* b);
KXWIN_API int _mbsnbicmp(const unsigned char* a, const unsigned char* b,
                         size_t count);
KXWIN_API unsigned char* _mbsupr(unsigned char* s);

/* ---- kxwin's own ------------------------------------------------------ */

/* Not a Win32 call. The file that holds every mutex, event and registry
 * watch of the store (KX_REGISTRY/objects): copies its path to lpPath (cut
 * to nSize bytes, zero-terminated) and returns ERROR_SUCCESS when this
 * process can use it, else why not (ERROR_FILE_CORRUPT, ERROR_DISK_FULL,
 * ERROR_ACCESS_DENIED, ...), also as the last error. The layers above name
 * the file with it when a mutex or an event cannot be made. */
KXWIN_API DWORD KxwinObjectsFile(LPSTR lpPath, DWORD nSize);

/* Not Win32 calls: the store's change journal. Once a key is named with
 * KxwinJournalKey, every change of a value below it (set, delete, a key
 * deleted with its values) is recorded in an entry written in the same
 * transaction as the change, so that the store never holds a change without
 * its entry or an entry without its change; a transaction that changes a
 * value and puts it back leaves none. Entries are kept in the store; the
 * newest ones always, the oldest forgotten in steps, away from the writes,
 * once there are more than keep_entries of them and they are older than
 * keep_days days. Readers of the store may read the journal; only writes of
 * values add to it. */
#define KXWIN_JOURNAL_KEEP_ENTRIES 100000u
#define KXWIN_JOURNAL_KEEP_DAYS 90u

/* Journals every value below lpKeyPath (below HKEY_LOCAL_MACHINE) but those
 * named in the multi-string lpSkippedValues (may be null), from now on and
 * for every process of the store; naming the same again changes nothing, and
 * a store journals one key. ERROR_SUCCESS, or why not (a reader of the store
 * gets ERROR_ACCESS_DENIED). */
KXWIN_API DWORD KxwinJournalKey(LPCSTR lpKeyPath, LPCSTR lpSkippedValues);

/* What this thread's following writes are journalled as coming from: a
 * fleet (lpFleet), its revision and the machine the change came from
 * (lpOrigin, may be null); a null or empty lpFleet makes them local again. */
KXWIN_API void KxwinJournalSource(LPCSTR lpFleet, LONGLONG revision,
                                  LPCSTR lpOrigin);

typedef struct KXWIN_JOURNAL_DATA {
  BOOL present; /* FALSE: there was no value */
  DWORD type;
  const BYTE* data;
  DWORD size;
} KXWIN_JOURNAL_DATA;

typedef struct KXWIN_JOURNAL_ENTRY {
  LONGLONG id;   /* greater than every earlier entry's */
  LONGLONG time; /* microseconds since 1970-01-01 UTC */
  LPCSTR user;
  DWORD uid;
  LPCSTR program;
  DWORD pid;
  LPCSTR machine;
  LPCSTR key;        /* below the journalled key, folded ("" for that key) */
  LPCSTR value_name; /* as it was written */
  KXWIN_JOURNAL_DATA old_value;
  KXWIN_JOURNAL_DATA new_value;
  LPCSTR fleet;      /* null for a local change */
  LONGLONG revision; /* the fleet's revision; 0 for a local change */
  LPCSTR origin;     /* the machine a fleet change came from; may be null */
} KXWIN_JOURNAL_ENTRY;

/* Which entries to read; zeroes and nulls select everything. */
typedef struct KXWIN_JOURNAL_FILTER {
  LPCSTR key;      /* only this key below the journalled one (any case) */
  BOOL subtree;    /* with key: the keys below it as well */
  LONGLONG before; /* only entries of smaller ids */
  LONGLONG since;  /* only entries of this time or later */
  LONGLONG until;  /* only entries of this time or earlier */
  LPCSTR user;     /* only this user's entries */
} KXWIN_JOURNAL_FILTER;

/* Called with each entry, newest first, its texts and data valid during the
 * call; returns FALSE to stop. */
typedef BOOL (*KXWIN_JOURNAL_CALLBACK)(const KXWIN_JOURNAL_ENTRY* entry,
                                       void* context);

/* Reads the entries that the filter selects from one snapshot of the store. */
KXWIN_API DWORD KxwinReadJournal(const KXWIN_JOURNAL_FILTER* filter,
                                 KXWIN_JOURNAL_CALLBACK callback,
                                 void* context);

typedef struct KXWIN_JOURNAL_INFO {
  CHAR key[MAX_PATH]; /* the journalled key, "" while none is */
  DWORD keep_entries;
  DWORD keep_days;
  LONGLONG oldest; /* the ids of the oldest and newest entry, 0 for none */
  LONGLONG newest;
  LONGLONG pruned; /* the greatest id forgotten so far, 0 for none */
} KXWIN_JOURNAL_INFO;

KXWIN_API DWORD KxwinJournalInfo(KXWIN_JOURNAL_INFO* info);

/* Keeps the last dwEntries entries or those of the last dwDays days,
 * whichever are more, and forgets the others now. */
KXWIN_API DWORD KxwinJournalBounds(DWORD dwEntries, DWORD dwDays);

#ifdef __cplusplus
}
#endif

#endif /* KXWIN_KXWIN_H */
