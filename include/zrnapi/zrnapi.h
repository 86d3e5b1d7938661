/*
 * zrnapi01: the support library of the product family. Registry requests,
 * save and restore of a key, locale modules and message texts, ownership
 * of the machine-wide mutex, security attributes, multi-string lists and
 * queued file moves, the computer's name, and tracing.
 *
 * Written against the Win32 API only. Functions that act return nonzero on
 * success, except loadLocaleA, which returns 0 on success. After a failure,
 * GetMsgString() gives the calling thread's text of it.
 */
#ifndef ZRNAPI_ZRNAPI_H
#define ZRNAPI_ZRNAPI_H

#ifdef _WIN32
#include <windows.h>
/* The traces are formatted by the C99 printf, not the system's. */
#define ZRNAPI_PRINTF gnu_printf
#if defined(ZRNAPI_BUILD)
#define ZRNAPI_API __declspec(dllexport)
#else
#define ZRNAPI_API __declspec(dllimport)
#endif
#else
#include <kxwin/kxwin.h>
#define ZRNAPI_PRINTF printf
#if defined(ZRNAPI_BUILD)
#define ZRNAPI_API __attribute__((visibility("default")))
#else
#define ZRNAPI_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Registry requests ------------------------------------------------ */

/* One value of a request. A list ends with an entry whose name is null.
 * Reading: null data asks for the type and size; otherwise at most `size`
 * bytes are copied and `size` becomes the number copied. Writing: a size of
 * 0 means the size of the data (REG_SZ with its terminator, four bytes for
 * REG_DWORD, REG_MULTI_SZ with its closing empty string). */
typedef struct RegistryValue {
  LPCSTR name;
  DWORD type;
  LPVOID data;
  DWORD size;
} RegistryValue;

#define REGISTRY_OPTION_QUIET 0x00000001u

typedef struct RegistryOptions {
  DWORD flags; /* REGISTRY_OPTION_QUIET: no trace of failures */
  /* Null: each call is a transaction of its own. Otherwise a transaction
   * of the caller's (CreateTransaction) that the call joins; the caller
   * commits it. A read-only one (KXWIN_TRANSACTION_READ_ONLY) lets several
   * queries read one snapshot. */
  HANDLE transaction;
  DWORD reserved[30]; /* zero */
} RegistryOptions;

/* One key of a request. A request is an array ended by an all-zero entry. */
typedef struct RegistryRequest {
  HKEY root; /* HKEY_LOCAL_MACHINE */
  LPCSTR path;
  DWORD reserved;
  RegistryOptions* options; /* may be null */
  RegistryValue* values;    /* may be null */
} RegistryRequest;

/* Reads every value of every key; a key without values is only tested for
 * existence. All keys are read from one snapshot of the store. */
ZRNAPI_API BOOL QueryRegistry(RegistryRequest* request);
/* Writes every value into its existing key. */
ZRNAPI_API BOOL SetRegistry(RegistryRequest* request);
/* Creates each key where missing and writes its values. */
ZRNAPI_API BOOL CreateRegistry(RegistryRequest* request);
/* Deletes the named values; values that are not there are no failure. */
ZRNAPI_API BOOL DeleteRegistryValues(RegistryRequest* request);
/* Deletes each key with its subtree; a key that is not there is no
 * failure. */
ZRNAPI_API BOOL DeleteRegistry(RegistryRequest* request);

/* Saves the key `path` below `root` with its subtree to a REGEDIT4 text
 * file; without `replace` an existing file is refused. */
ZRNAPI_API BOOL SaveRegistry(HKEY root, LPCSTR path, LPCSTR file, BOOL replace);
/* Restores a save file of any format (REGEDIT4, version 5 in UTF-16, ASCII
 * or UTF-8, or JSON; found from the content) below `path`; with `replace`
 * what the file lacks goes, without it the file is merged. Only what
 * differs is written, in one transaction. A file that does not parse, or
 * holds a key outside `path`, restores nothing. A replace from a file that
 * holds no key at all (the header alone, as a save cut short leaves it)
 * would only empty the key: it is refused unless `replace` has the bit
 * RESTORE_ALLOW_EMPTY. */
ZRNAPI_API BOOL RestoreRegistry(HKEY root, LPCSTR path, LPCSTR file,
                                BOOL replace);
#define RESTORE_ALLOW_EMPTY 2
/* What RestoreRegistry with the same arguments would change, changing
 * nothing: a JSON document in *report, freed with ZRNFreeMemory,
 *   {"key": "HKEY_LOCAL_MACHINE\\<path>", "changes": [{"change": "+",
 *    "key": "<subkey below path>", "name": "<value name>" or null for a
 *    whole key, "old": <value> or null, "new": <value> or null}, ...]}
 * with "+" added, "~" changed and "-" removed, and each value as the JSON
 * save file writes it ({"type": "REG_SZ", "data": "text"}). A file that
 * RestoreRegistry would refuse fails the same way. */
ZRNAPI_API BOOL CompareRegistry(HKEY root, LPCSTR path, LPCSTR file,
                                BOOL replace, LPSTR* report);
/* Writes the save file `source` (of any format) to `target` in `version` 4
 * (REGEDIT4, the store's bytes), 5 (UTF-16, what the registry editors
 * export by default) or REGISTRY_FORMAT_JSON. Without `replace` an
 * existing target is refused. */
ZRNAPI_API BOOL ConvertRegistryFile(LPCSTR source, LPCSTR target, BOOL replace,
                                    DWORD version);
#define REGISTRY_FORMAT_JSON 0x4A /* 'J' */

/* ---- Messages and locales ---------------------------------------------- */

/* Loads the locale module `<name>.<language>` from the locale directory;
 * a null language comes from LC_ALL, LC_MESSAGES or LANG. 0 on success,
 * with the module's handle in *handle; otherwise a Win32 error code. */
ZRNAPI_API DWORD loadLocaleA(LPCSTR name, LPCSTR language, HMODULE* handle);
ZRNAPI_API void freeLocale(HMODULE* handle);
/* Message `number` of a locale module or of a code module's built-in table
 * into buffer; *size is the buffer's size less one on entry and the text's
 * length on return. */
ZRNAPI_API BOOL FormatMsgString(HMODULE handle, LPSTR buffer, LPDWORD size,
                                DWORD number);
/* The text of the calling thread's last failure in this library. */
ZRNAPI_API LPCSTR GetMsgString(void);
/* The text of the calling thread's last system error (GetLastError). */
ZRNAPI_API LPCSTR SetAndGetLastErrorMsg(void);
/* Brackets a stretch of work: failures inside it are recorded in a frame of
 * their own, and GetMsgString after PopMsgStack gives the text from before
 * the push again. */
ZRNAPI_API void PushMsgStack(void);
ZRNAPI_API void PopMsgStack(void);

/* ---- Mutex, security, lists, names, tracing ---------------------------- */

/* Waits for the mutex without time limit; re-entrant for its owner. A
 * mutex left by a dead owner is taken over (and traced). */
ZRNAPI_API BOOL GetMutexOwnership(HANDLE mutex);
ZRNAPI_API BOOL ReleaseMutexOwnership(HANDLE mutex);

/* A SECURITY_ATTRIBUTES record that lets every user of the machine open
 * the object; the caller frees lpSecurityDescriptor, then the record, with
 * ZRNFreeMemory. */
ZRNAPI_API BOOL GetSecurityAttributes(LPSECURITY_ATTRIBUTES* attributes);
ZRNAPI_API void ZRNFreeMemory(LPVOID pointer);

/* Appends a copy of `string` to a multi-string list that starts null. */
ZRNAPI_API BOOL MultiStrAddValue(LPSTR* list, LPCSTR string);
ZRNAPI_API void MultiStrDelList(LPSTR* list);
/* Moves each (source, destination) pair of the list, replacing an existing
 * destination. */
ZRNAPI_API BOOL ProcessMoveFilesQueue(LPCSTR list, DWORD flags, DWORD reserved);

/* The computer's name; owned by the library; null when there is none. */
ZRNAPI_API LPCSTR GetMyName(void);

/* Formats one trace line and hands it to the sink that KX_TRACE names.
 * KX_TRACE is read at a process's first trace line; with no sink a call
 * costs a load and a branch. */
ZRNAPI_API void SetTraceStringA(LPCSTR component, LPCSTR format, ...)
    __attribute__((format(ZRNAPI_PRINTF, 2, 3)));
/* Nonzero when trace lines are recorded: callers skip work that only
 * feeds a trace line (times of day, say) when it is 0. */
ZRNAPI_API BOOL IsTraceOn(void);
/* Reads KX_TRACE again, for a process that changed it after its first
 * trace line. */
ZRNAPI_API void ReloadTraceSink(void);

#ifdef __cplusplus
}
#endif

#endif /* ZRNAPI_ZRNAPI_H */
