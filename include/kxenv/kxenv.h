/*
 * kxenv: the configuration variables of the product family.
 *
 * Variables live in one machine-wide store and belong to one of five
 * classes: applications, environment variables (with a local and a global
 * value side by side), their local and global views, and options. Gets
 * return text owned by the library: it stays valid until somebody hands the
 * record, or any string of it, to KXfreemem, or the library is unloaded.
 * Operations that act return 0 on success and -1 on failure.
 */
#ifndef KXENV_KXENV_H
#define KXENV_KXENV_H

#include <stdint.h>

#ifdef _WIN32
#if defined(KXENV_BUILD)
#define KXENV_API __declspec(dllexport)
#else
#define KXENV_API __declspec(dllimport)
#endif
#elif defined(KXENV_BUILD)
#define KXENV_API __attribute__((visibility("default")))
#else
#define KXENV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Variable classes. */
#define VC_APP 1
#define VC_ENV 2
#define VC_LOCAL 3
#define VC_GLOBAL 4
#define VC_OPT 5

/* Record levels: a level-N record is a prefix of the level-99 record. */
#define KXENV_LEVEL_1 1   /* version .. value */
#define KXENV_LEVEL_2 2   /* .. globalValue */
#define KXENV_LEVEL_3 3   /* .. description */
#define KXENV_LEVEL_4 4   /* .. sensitive */
#define KXENV_LEVEL_5 5   /* .. timeStamp */
#define KXENV_LEVEL_99 99 /* .. descriptionId */

/* One variable as a get sees it. Every field is one machine word: a string
 * (null when absent) or an unsigned number holding a 32-bit value. */
typedef struct VariableRecord {
  uintptr_t version;  /* the record level */
  char* className;    /* "APP", "ENV", "LCL", "GBL" or "OPT" */
  char* name;         /* upper case */
  char* value;        /* the effective value */
  char* defaultValue; /* level 2 and up */
  char* localValue;
  char* globalValue;
  char* app; /* level 3 and up */
  char* description;
  char* choices; /* level 4 and up; a multi-string */
  char* choiceType;
  char* dataType;
  uintptr_t maxSize;
  uintptr_t readOnly;
  uintptr_t sensitive;
  char* lastUser;          /* level 5 and up */
  uintptr_t timeStamp;     /* seconds since 1970-01-01 UTC */
  uintptr_t descriptionId; /* level 99 */
} VariableRecord;

/* ---- Gets: the effective value, or null. ------------------------------ */

KXENV_API char* KXgetenv(const char* name);
KXENV_API char* KXgetlocal(const char* name);
KXENV_API char* KXgetglobal(const char* name);
KXENV_API char* KXgetopt(const char* name);
/* As the short forms, and the record of the given level through `record`
 * (null when the level is not 1 to 5 or 99). */
KXENV_API char* KXgetenvex(const char* name, VariableRecord** record,
                           int level);
KXENV_API char* KXgetoptex(const char* name, VariableRecord** record,
                           int level);
/* An application's description. */
KXENV_API char* KXgetappex(const char* name, VariableRecord** record,
                           int level);

/* ---- Sets: 0 or -1. A null value is the empty text. -------------------- */

KXENV_API int KXsetenv(const char* name, const char* value);
KXENV_API int KXsetlocal(const char* name, const char* value);
KXENV_API int KXsetglobal(const char* name, const char* value);
KXENV_API int KXsetopt(const char* name, const char* value);

/* ---- Enumeration: the name found at a zero-based position (its record
 * through `holder` when given), or null past the end. With an application,
 * the variables it owns. */

KXENV_API char* KXenumenv(unsigned position, const char* application,
                          VariableRecord** holder, int level);
KXENV_API char* KXenumopt(unsigned position, const char* application,
                          VariableRecord** holder, int level);
KXENV_API char* KXenumapp(unsigned position, VariableRecord** holder,
                          int level);

/* ---- Deletion: 0 (also when nothing was there) or -1. ------------------- */

KXENV_API int KXdelenv(const char* name);
KXENV_API int KXdelopt(const char* name);
/* Deletes an application with every variable it owns; -1 for an
 * application without description text. */
KXENV_API int KXdelapp(const char* application);

/* ---- Watches: wait for a change of a variable (or, with a null name, of
 * the whole class) made by any process. Synchronous: 0 after a change, -1
 * when the key does not exist or the library unloads. Asynchronous: returns
 * 0 once the watch is armed; `event` (an event handle, may be null) is
 * signalled on the change. An asynchronous watch of a key that does not
 * exist also returns 0 but arms nothing: its event is never signalled. */

KXENV_API int KXwatchenv(const char* name, void* event, int synchronous);
KXENV_API int KXwatchopt(const char* name, void* event, int synchronous);

/* ---- Release ------------------------------------------------------------ */

/* Frees the record that `pointer` (the record or any string of it) belongs
 * to, for every holder. 0, or -1 for a pointer the library did not hand
 * out or has freed already. */
KXENV_API int KXfreemem(void* pointer);

/* ---- The variable table ------------------------------------------------
 * kxenv.tab in the global directory (the value of KXIGLBL0000) declares the
 * applications and variables. */

/* Writes the table's definitions into the store, as far as the control
 * file selects them, carrying values over from an earlier installation's
 * profile files and from changed defaults. 0 when the table was read to its
 * end, -1 when the load could not start. */
KXENV_API int KXloadenvtab(const char* control_file);
/* Moves kxenv.tab to kxenv.bak and copies the pristine kxenv.hdg over it.
 * 0, or -1 on failure. */
KXENV_API int KXinitenvtab(void);
/* Writes a copy of a table (null: kxenv.tab) in which every message marker
 * is replaced by its text in `language` (null: the locale's). The target
 * defaults to kxenvtb.<language> in the global directory. 0, or -1. */
KXENV_API int KXlocalizeenvtab(const char* language, const char* source,
                               const char* target);

/* ---- The store as a whole ---------------------------------------------
 * Save the variable store to a file and load it back (the support
 * library's text format). A nonzero `replace` overwrites an existing file
 * on save and replaces the whole store on restore; 0 keeps the file and
 * merges into the store. 0, or -1 on failure. A restore with replace from
 * a file that holds no key would only empty the store; it is refused unless
 * `replace` has the bit KXENV_RESTORE_ALLOW_EMPTY. */
#define KXENV_RESTORE_ALLOW_EMPTY 2

KXENV_API int KXsaveenv(const char* file, int replace);
KXENV_API int KXrestoreenv(const char* file, int replace);

/* ---- Retired entry points: they do nothing and return a constant. ------ */

KXENV_API int KxenvLoadProfile(void); /* 8 */
KXENV_API int KxenvSaveProfile(void); /* 7 */
KXENV_API int KxenvLoadTable(void);   /* 2 */
KXENV_API void KxenvDump(void);
KXENV_API void KxenvDumpEntry(void);
KXENV_API char* KxenvQueryVarValue(void); /* null */
KXENV_API void KxenvTableInit(void);
KXENV_API char* KxenvQueryFilename(void);            /* null */
KXENV_API int KXGetEnvTableAddress(void);            /* -1 */
KXENV_API int KXreloadenv(void);                     /* -1 */
KXENV_API unsigned char KxRefreshSharedMemory(void); /* false */
KXENV_API void KXsetlogging(void);
KXENV_API void KxenvStopChangeNotify(void);
KXENV_API int KXgetversion(void); /* 2 */

/* Runs the library's unload work now (signals its threads to end, frees
 * every cached record, closes its handles), as unloading would. For tests;
 * the library is never unmapped once loaded. */
KXENV_API void KxenvProcessDetach(void);

#ifdef __cplusplus
}
#endif

#endif /* KXENV_KXENV_H */
