/*
 * qlscan.h: the scanner-interface library, one engine-neutral API over the installed engine.
 *
 * Conventions
 *  - Functions returning int give 0 or a positive value (a length, a count, a result bit set) on
 *    success and -1 on failure; functions returning a pointer give NULL on failure.
 *  - A failure stores its reason as the calling thread's last error (QL_SetError); read it as
 *    text with QL_GetErrorText. Codes below 900 are C library error numbers, 900 to 907 and 910
 *    are the library's own (QLE_*). The last error and its text belong to the calling thread.
 *  - Texts live in fixed buffers: paths QL_PATH_MAX (1023 characters and the terminator),
 *    configured values QL_VALUE_MAX, infection names QL_NAME_MAX. Longer input is cut.
 *  - The caller owns every record it passes; the library keeps no pointer to it after the call.
 *    Texts handed to an event function are valid only during that call.
 *  - An engine handle may be used by any number of threads at once between QL_InitAVHandle and
 *    QL_DeinitAVHandle; those two are called while no scan runs on the handle.
 *
 * The header compiles as C and as C++.
 */
#ifndef QL_QLSCAN_H
#define QL_QLSCAN_H

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define QL_EXPORT __attribute__((visibility("default")))
#define QL_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define QL_EXPORT
#define QL_PRINTF(fmt, args)
#endif

/* Fixed buffer sizes, terminator included. */
#define QL_PATH_MAX 1024
#define QL_VALUE_MAX 256
#define QL_NAME_MAX 64
#define QL_ERROR_TEXT_MAX 64
#define QL_CONF_BLOCK_SIZE 512

/* Engine kinds, read from the version file on every engine-neutral call. */
typedef int32_t AVType;
#define AV_NONE 0
#define AV_KAV 1
#define AV_BD 2

/* Quick request types. */
#define QL_REQ_UNSET (-1)
#define QL_REQ_BUFFER 0
#define QL_REQ_DESCRIPTOR 1
#define QL_REQ_PATH 2

/* Scan result bits; QL_RES_STOPPED comes alone. */
#define QL_RES_CLEAN 0
#define QL_RES_DISINFECTED 1
#define QL_RES_INFECTED 2
#define QL_RES_SUSPICIOUS 4
#define QL_RES_ENCRYPTED 8
#define QL_RES_CORRUPTED 16
#define QL_RES_ERROR 32
#define QL_RES_STOPPED 64

/* Object kinds passed to onEvent. */
#define QL_OBJ_DIRECTORY 1
#define QL_OBJ_ARCHIVE 2
#define QL_OBJ_FILE 4
#define QL_OBJ_PROCESS 16
#define QL_OBJ_PROCESS_FILE 32
#define QL_OBJ_BUFFER 64
#define QL_OBJ_DESCRIPTOR 128
#define QL_OBJ_ENGINE 256

/* Events passed to onEvent, one per call. Each action failure is its success shifted by 4. */
#define QL_EV_CLEAN 0x1
#define QL_EV_INFECTED 0x2
#define QL_EV_SUSPICIOUS 0x4
#define QL_EV_FAILED 0x8
#define QL_EV_DISINFECTED 0x10
#define QL_EV_DELETED 0x20
#define QL_EV_QUARANTINED 0x40
#define QL_EV_RENAMED 0x80
#define QL_EV_DISINFECT_FAILED 0x100
#define QL_EV_DELETE_FAILED 0x200
#define QL_EV_QUARANTINE_FAILED 0x400
#define QL_EV_RENAME_FAILED 0x800
#define QL_EV_PROCESS_SCAN_START 0x1000
#define QL_EV_PROCESS_SCAN_END 0x2000
#define QL_EV_NO_ACTION 0x10000
#define QL_EV_CORRUPTED 0x20000
#define QL_EV_ENCRYPTED 0x40000
#define QL_EV_ENGINE_INIT 0x100000
#define QL_EV_ENGINE_READY 0x200000
#define QL_EV_ENGINE_DOWN 0x400000
#define QL_EV_ENGINE_FAILED 0x800000

/* An onEvent answer that asks the scan to stop; the scan then returns QL_RES_STOPPED. */
#define QL_CB_STOP 2

/* scanOpts bits. The unnamed bits are engine switches (see docs/library.md). */
#define QL_OPT_NO_RECURSE 0x0004
#define QL_OPT_LINK 0x0008
#define QL_OPT_XDEV 0x0010
#define QL_OPT_SCAN_EXT 0x0400
#define QL_OPT_SKIP_EXT 0x0800
#define QL_OPT_SKIP_DIRS 0x1000
#define QL_OPT_DEPTH 0x2000
#define QL_OPT_SIZE 0x4000
#define QL_OPT_INVALID 0xFFFF

/* Actions on an infected object. */
#define QL_ACT_NONE 0
#define QL_ACT_DELETE 1
#define QL_ACT_RENAME 2
#define QL_ACT_QUARANTINE 3
#define QL_ACT_PROMPT 4

/* The library's own error codes. */
#define QLE_SCAN_SUCCESS 900
#define QLE_UNKNOWN_SYSTEM 901
#define QLE_INVALID_OBJECT 902
#define QLE_INVALID_AV_MESSAGE 903
#define QLE_INVALID_QUARANTINE 904
#define QLE_ABSOLUTE_PATH 905
#define QLE_AV_CONNECT 906
#define QLE_ZERO_SIZE 907
#define QLE_TEXT 910

/* Logger message levels. */
#define QL_LOG_RESULT 1
#define QL_LOG_ERROR 2
#define QL_LOG_INFO 3

/* How a scan reports each object. Return QL_CB_STOP to stop the scan. */
typedef int (*QL_EventFn)(const char *objectName, int32_t objectKind, int32_t event,
                          const char *infectionName, const char *message, void *userData);

typedef struct EventCallback {
    QL_EventFn onEvent; /* NULL: no events */
    void *userData;     /* passed back unchanged */
} EventCallback;

typedef struct QuickRequest {
    void *object;      /* BufferObject *, DescriptorObject * or a path, by type */
    uint32_t scanOpts; /* scanOpts bits */
    int32_t type;      /* QL_REQ_*; QL_REQ_UNSET when unset */
} QuickRequest;

typedef struct BufferObject {
    void *app_buf;        /* this chunk's bytes; never NULL */
    int32_t app_buf_size; /* bytes in app_buf, 0 or more */
    uint32_t id;          /* the caller's number for the object */
    void *accum;          /* owned by the engine: the chunks gathered so far */
    uint32_t accumLen;    /* bytes gathered in accum */
    uint8_t more;         /* non-zero: more chunks of the same object follow */
} BufferObject;

typedef struct DescriptorObject {
    char *name;    /* used in messages only */
    int32_t fd;    /* open descriptor, -1 for none */
    uint32_t size; /* bytes readable through fd */
} DescriptorObject;

/* Called for each infected object with QL_ACT_PROMPT; returns the action to apply. */
typedef int (*QL_PromptFn)(const char *path, char *argument /* QL_PATH_MAX */);

typedef struct ObjectRequest {
    const char *path;
    uint32_t scanOpts;
    int32_t actOpts; /* QL_ACT_* */
    QL_PromptFn prompt;
} ObjectRequest;

typedef struct ExtraData {
    char actionArg[QL_VALUE_MAX]; /* quarantine directory or rename extension */
    char extList[QL_PATH_MAX];    /* extensions to scan or to skip */
    char *excludeDirs;            /* allocated ':'-separated directories to skip */
    uint32_t sizeLimit;           /* KB */
    uint8_t maxDepth;             /* 1 to 64; 0 for none */
} ExtraData;

typedef struct ScanReport {
    uint32_t dirsScanned;
    uint32_t objectsScanned;
    uint32_t cleanObjects;
    uint32_t infectedObjects;
    uint32_t suspiciousObjects;
    uint32_t disinfectedObjects;
    uint32_t disinfectFailed;
    uint32_t infections;
    uint32_t deletedObjects;
    uint32_t renamedObjects;
    uint32_t quarantinedObjects;
    uint32_t corruptedObjects;
    uint32_t encryptedObjects;
    uint32_t scanErrors;
    uint32_t actionFailed;
    EventCallback events;
} ScanReport;

typedef void (*LogFn)(int level, const char *format, va_list args);

typedef struct QLLogger {
    FILE *stream;   /* NULL: nothing is written */
    int32_t level;  /* messages below this level are written */
    LogFn callback; /* when set, receives every message instead of stream */
} QLLogger;

/* An open engine. Opaque; owned by the caller from QL_InitAVHandle to QL_DeinitAVHandle. */
typedef struct AVEngine *AVHandle;

/* ---- Last error ---- */

/* Store code as the calling thread's last error; returns -1. */
QL_EXPORT int QL_SetError(int code);
/* Store a free text (at most 63 characters; "Unknown error" for NULL) with code 910; returns -1. */
QL_EXPORT int QL_SetErrorText(const char *text);
/* Text of the calling thread's last error; valid until that thread's next library call. */
QL_EXPORT const char *QL_GetErrorText(void);

/* ---- Record initialisers: each sets the last error to 0 first, then ignores NULL. ---- */

QL_EXPORT void QL_InitQuickRequest(QuickRequest *request);
QL_EXPORT void QL_InitEventCallback(EventCallback *callback);
QL_EXPORT void QL_InitBufferObject(BufferObject *buffer);
/* Sets fd to -1 and size to 0; name is left as it is. */
QL_EXPORT void QL_InitDescriptorObject(DescriptorObject *descriptor);
QL_EXPORT void QL_InitObjectRequest(ObjectRequest *request);
QL_EXPORT void QL_ResetScanCounters(ScanReport *report);
QL_EXPORT void QL_InitScanReport(ScanReport *report);
/* Empties both strings and sets excludeDirs to NULL without freeing it. */
QL_EXPORT void QL_InitExtraData(ExtraData *extra);

/* ---- Logger ---- */

/* Allocate an empty logger; NULL when memory runs out. Free with QL_DestroyLogger. */
QL_EXPORT QLLogger *QL_NewLogger(void);
/* Make a logger writing to path (absolute, truncated) below level; NULL on failure. */
QL_EXPORT QLLogger *QL_CreateLogger(int level, const char *path);
QL_EXPORT void QL_SetLogCallback(QLLogger *logger, LogFn callback);
QL_EXPORT void QL_ClearLogCallback(QLLogger *logger);
/* Close the stream and free the logger; -1 on NULL. */
QL_EXPORT int QL_DestroyLogger(QLLogger *logger);
/* Log one message; returns the characters written, 0 when dropped, -1 on a NULL logger. */
QL_EXPORT int QL_Log(QLLogger *logger, int level, const char *format, ...) QL_PRINTF(3, 4);

/* ---- Paths ---- */

/* Make path absolute against base (NULL: the current directory) into out[QL_PATH_MAX].
   Returns the length. out may be path itself. */
QL_EXPORT int QL_GetAbsolutePath(const char *path, const char *base, char *out);
/* Follow a chain of symbolic links to its final target into out[QL_PATH_MAX], as the kernel
   follows it: a link gives the real path of the file it opens, any other path comes back as
   given. Returns the length. out may be path itself. */
QL_EXPORT int QL_ResolveSymlink(const char *path, char *out);

/* Infected-file actions; no shell is ever run, files move by rename or copy and remove. The
   file's folder is reached without following a link on the way (else the action fails with the
   text "Path leads through a symbolic link"), and the file is acted on through that folder. */
/* Apply QL_ACT_DELETE/RENAME/QUARANTINE; returns QL_EV_<action>(_FAILED), or action if other. */
QL_EXPORT int QL_ApplyInfectedAction(const char *path, int action, const char *argument);
/* Remove path; error 22 when it is missing or not writable by the process. */
QL_EXPORT int QL_DeleteFile(const char *path);
/* Rename path to "path.extension" (no '/' in it), replacing a file of that name. */
QL_EXPORT int QL_RenameFile(const char *path, const char *extension);
/* Move path into directory as its name, or the first free of name-0 to name-1023, leaving it
   mode 0600; a directory that is a link or writable by others than its owner is refused. */
QL_EXPORT int QL_QuarantineFile(const char *path, const char *directory);
/* Move source to target, replacing a file there: rename, or across file systems a copy renamed
   into place before source is removed. 0 once source is gone, else -1 (source stays). */
QL_EXPORT int QL_MoveFile(const char *source, const char *target);

/* ---- Engine ---- */

/* The installed engine, read from the version file now. Sets no error. */
QL_EXPORT AVType QL_GetInstalledAV(void);

/* Open the installed engine from its configuration file (absolute path). onEvent, when given,
   receives QL_EV_ENGINE_INIT, then QL_EV_ENGINE_READY or QL_EV_ENGINE_FAILED (object kind
   QL_OBJ_ENGINE). startDaemon non-zero lets the KAV engine daemon be started when none runs.
   NULL on failure; with no engine installed the last error is left unchanged. */
QL_EXPORT AVHandle QL_InitAVHandle(const char *confPath, QL_EventFn onEvent, uint8_t startDaemon);
/* Close the handle's logger and its engine, reporting QL_EV_ENGINE_DOWN through onEvent, and
   free the handle. No scan may run on it any more. */
QL_EXPORT void QL_DeinitAVHandle(AVHandle handle, QL_EventFn onEvent);
/* The installed engine's configuration block (QL_CONF_BLOCK_SIZE characters, two fields of
   QL_VALUE_MAX) read from confPath; the caller frees it with free(). NULL on failure. */
QL_EXPORT char *QL_GetScannerConf(const char *confPath);

/* Attach a logger to the handle: writing to path below level when both are given, otherwise an
   empty one that a callback can use. Replaces (without freeing) any logger already there. */
QL_EXPORT int QL_OpenHandleLog(AVHandle handle, const char *path, int level);
/* Take the handle's logger out and destroy it. */
QL_EXPORT void QL_CloseHandleLog(AVHandle handle);
QL_EXPORT void QL_SetHandleLogCallback(AVHandle handle, LogFn callback);
QL_EXPORT void QL_ClearHandleLogCallback(AVHandle handle);

/* ---- Scans ---- */

/* Normalise request->scanOpts in place; -1 (no error code) when request or its object is NULL. */
QL_EXPORT int QL_FilterQuickOptions(QuickRequest *request);
/* Scan one file, buffer or open descriptor with the installed engine. Returns the result bits,
   or -1 with the last error set. A path request is scanned through its absolute, resolved
   copy; object is the caller's pointer again on return. Safe from many threads on one handle. */
QL_EXPORT int QL_QuickScan(AVHandle handle, QuickRequest *request, EventCallback *callback);
/* Scan a file or a directory tree with the installed engine, applying request->actOpts to
   infected files. texts are count extra data texts ("QDIR::/dir", "SIZE::10k", ...; see
   docs/library.md). Events go to report->events and its counters grow; an object that cannot be
   scanned gets a QL_EV_FAILED event naming it, counts in scanErrors and sets QL_RES_ERROR.
   Returns the result bits, or -1 with the last error set. request->scanOpts and actOpts are
   left filtered. */
QL_EXPORT int QL_ScanObject(AVHandle handle, ObjectRequest *request, ScanReport *report, int count,
                            const char *const *texts);
/* Scan the running processes (and their open files); *pidSlot gets 0 or an infected pid. */
QL_EXPORT int QL_ScanProcesses(AVHandle handle, int32_t *pidSlot, uint8_t scanOpenFiles,
                               QL_EventFn onEvent, void *userData);

#ifdef __cplusplus
}
#endif

/* The records as the 32-bit target lays them out, where library and callers are built apart. */
#if defined(__i386__) && defined(__cplusplus)
#include <cstddef>
static_assert(sizeof(EventCallback) == 8);
static_assert(offsetof(QuickRequest, type) == 8 && sizeof(QuickRequest) == 12);
static_assert(offsetof(BufferObject, accum) == 12 && offsetof(BufferObject, more) == 20 &&
              sizeof(BufferObject) == 24);
static_assert(offsetof(DescriptorObject, size) == 8 && sizeof(DescriptorObject) == 12);
static_assert(offsetof(ObjectRequest, prompt) == 12 && sizeof(ObjectRequest) == 16);
static_assert(offsetof(ExtraData, excludeDirs) == 1280 && offsetof(ExtraData, maxDepth) == 1288 &&
              sizeof(ExtraData) == 1292);
static_assert(offsetof(ScanReport, events) == 60 && sizeof(ScanReport) == 68);
static_assert(offsetof(QLLogger, callback) == 8 && sizeof(QLLogger) == 12);
#endif

#endif /* QL_QLSCAN_H */
