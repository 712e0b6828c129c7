// The core library's binary contract: the records, entry points, options and report bits that
// pass between the BD back end and libavcore.so. Both sides are built from this header.
//
// Values are 32-bit and 0 means success. The library calls the scan callback and the I/O
// callbacks on the thread that runs the scan command (option 55), before that call returns.
// Different instances may be used by different threads at once without a lock; one instance is
// used by one thread at a time.
#ifndef QL_BD_CORE_CONTRACT_H
#define QL_BD_CORE_CONTRACT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What the core reports about one object. Pointers are valid only during the callback. */
typedef struct CoreEventInfo {
    uint32_t reserved0;
    uint32_t reserved1;
    const char *objectName;
    int32_t objectType;   /* CORE_OBJECT_* */
    uint32_t objectFlags; /* CORE_FLAG_* */
    uint32_t status;      /* CORE_STATUS_* */
    uint32_t reserved6;
    const char *infectionName; /* NULL when there is none */
    uint32_t reserved8;
    void *context; /* the value of option 38 */
} CoreEventInfo;

struct CoreIOObject;

/* The caller's I/O functions for an object of type 3. Each returns 0 or -1. */
typedef struct CoreIOTable {
    uint32_t size; /* sizeof(CoreIOTable) */
    int (*open)(struct CoreIOObject *object);
    int (*close)(struct CoreIOObject *object);
    int (*read)(void *buffer, int32_t offset, int32_t length, int32_t *done,
                struct CoreIOObject *object);
    int (*write)(const void *buffer, int32_t offset, int32_t length, int32_t *done,
                 struct CoreIOObject *object);
    int (*getSize)(uint32_t *size, struct CoreIOObject *object);
    int (*setSize)(uint32_t size, struct CoreIOObject *object);
    uintptr_t end; /* 0 */
} CoreIOTable;

/* An object the core reads through its I/O table; the contexts belong to the caller. */
typedef struct CoreIOObject {
    const char *name;
    intptr_t context1;
    intptr_t context2;
    CoreIOTable io;
} CoreIOObject;

/* Answers of the scan callback. */
#define CORE_ANSWER_GO_ON 0
#define CORE_ANSWER_STOP 8
#define CORE_ANSWER_ACT 10
#define CORE_ANSWER_ERROR (-1)

typedef int (*CoreScanCallback)(uint32_t event, CoreEventInfo *info);

/* Event bits. */
#define CORE_EVENT_OBJECT 0x1u
#define CORE_EVENT_FINDING 0x40u /* comes with every infected or suspicious finding */

/* Object types of an event and of the scan command. */
#define CORE_OBJECT_FILE 1
#define CORE_OBJECT_DIRECTORY 2
#define CORE_OBJECT_IO 3

/* Object flags. */
#define CORE_FLAG_ENCRYPTED 0x4u
#define CORE_FLAG_CORRUPTED 0x10u
#define CORE_FLAG_INNER 0x40u /* a member of the top-level object, e.g. of an archive */
#define CORE_FLAG_SKIPPED 0x200u
#define CORE_FLAG_DIRECTORY 0x200000u
#define CORE_FLAG_ENCRYPTED_ALT 0x1000000u

/* Status bits. */
#define CORE_STATUS_CLEAN 0x1u
#define CORE_STATUS_INFECTED 0x20u
#define CORE_STATUS_SUSPICIOUS 0x40u
#define CORE_STATUS_DISINFECTED 0x80u
#define CORE_STATUS_DISINFECT_FAILED 0x100u
#define CORE_STATUS_IGNORED 0x800u
#define CORE_STATUS_NOT_SCANNED 0x1000u
#define CORE_STATUS_FAILED 0x80000000u

/* CoreSet options; the values read after the option are given as va_arg types. */
/* 25, 26, 27 and 33 are engine switches (int 0 off, 1 on), each following one scanOpts bit. */
#define CORE_OPT_SWITCH25 25
#define CORE_OPT_SWITCH26 26
#define CORE_OPT_SWITCH27 27
#define CORE_OPT_ACTION 31 /* int 0, 4, 6 or 7 */
#define CORE_OPT_SWITCH33 33
#define CORE_OPT_SWITCH_DIR 34     /* const char *: directory that goes with switch 33 */
#define CORE_OPT_QUARANTINE_DIR 35 /* const char * */
#define CORE_OPT_CONTEXT 38        /* void * */
#define CORE_OPT_CALLBACK 39       /* CoreScanCallback */
#define CORE_OPT_DEPTH 41          /* int */
#define CORE_OPT_NO_RECURSE 42     /* none */
#define CORE_OPT_SCAN_EXT 43       /* const char * */
#define CORE_OPT_SKIP_EXT 44       /* const char * */
#define CORE_OPT_RENAME_EXT 45     /* const char * */
#define CORE_OPT_SCAN 55           /* int type, then const char * (1, 2) or CoreIOObject * (3) */
#define CORE_OPT_RESET 59          /* none */
#define CORE_OPT_IO_TABLE 60       /* CoreIOTable * */
#define CORE_OPT_SKIP_DIRS 86      /* const char * */
#define CORE_OPT_SIZE_LIMIT 89     /* int */

/* CoreGet items. */
#define CORE_ITEM_DIRS 5      /* uint32_t *, during a scan */
#define CORE_ITEM_OBJECTS 7   /* uint32_t *, during a scan */
#define CORE_ITEM_INFECTED 10 /* uint32_t *, during a scan */
#define CORE_ITEM_COUNTERS 19 /* uint32_t **: CORE_COUNTER_COUNT counters of the last scan */

/* Indexes into the counters of item 19. */
#define CORE_COUNTER_DIRS 0
#define CORE_COUNTER_OBJECTS 2
#define CORE_COUNTER_INFECTED 5
#define CORE_COUNTER_SUSPICIOUS 6
#define CORE_COUNTER_DISINFECTED 7
#define CORE_COUNTER_INFECTIONS 9
#define CORE_COUNTER_DELETED 10
#define CORE_COUNTER_QUARANTINED 11
#define CORE_COUNTER_RENAMED 12
#define CORE_COUNTER_COUNT 13

/* The entry points, as the back end looks them up by name. */
typedef int (*CoreInit5Fn)(int zero, const char *pluginsDir, const char *libraryPath,
                           const char *tempDir);
typedef int (*CoreUninitFn)(void);
typedef void *(*CoreNewInstanceFn)(void);
typedef int (*CoreDeleteInstanceFn)(void *instance);
typedef int (*CoreSetFn)(void *instance, int option, ...);
typedef int (*CoreGetFn)(void *instance, int item, void *out);

#if defined(__GNUC__)
#define CORE_EXPORT __attribute__((visibility("default")))
#else
#define CORE_EXPORT
#endif

/* Set the library up once after loading; nonzero = failure. Starts no thread. */
CORE_EXPORT int CoreInit5(int zero, const char *pluginsDir, const char *libraryPath,
                          const char *tempDir);
/* Release what CoreInit5 set up; once before unloading. */
CORE_EXPORT int CoreUninit(void);
/* A new instance with default options; NULL = failure. */
CORE_EXPORT void *CoreNewInstance(void);
CORE_EXPORT int CoreDeleteInstance(void *instance);
/* Set one option (or run the scan, option 55); nonzero = failure. */
CORE_EXPORT int CoreSet(void *instance, int option, ...);
/* Store one item in *out; nonzero = failure. */
CORE_EXPORT int CoreGet(void *instance, int item, void *out);

#ifdef __cplusplus
}
#endif

#if defined(__i386__) && defined(__cplusplus)
#include <cstddef>
static_assert(offsetof(CoreEventInfo, objectName) == 8);
static_assert(offsetof(CoreEventInfo, objectType) == 12);
static_assert(offsetof(CoreEventInfo, objectFlags) == 16);
static_assert(offsetof(CoreEventInfo, status) == 20);
static_assert(offsetof(CoreEventInfo, infectionName) == 28);
static_assert(offsetof(CoreEventInfo, context) == 36);
static_assert(sizeof(CoreIOTable) == 32);
#endif

#endif /* QL_BD_CORE_CONTRACT_H */
