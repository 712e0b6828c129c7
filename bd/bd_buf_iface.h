// The BD quick scanners: a memory buffer (gathered over chunks), an open descriptor, a file path
// and a process image, each run as one scan command in a core instance, with the scan callback
// that turns the core's findings into onEvent calls and result bits, and the I/O callbacks
// through which the core reads (and may write) buffers and descriptors.
//
// Everything runs on the calling thread; calls on different instances may run at once. A
// BufferObject or DescriptorObject must not be scanned by two calls at once.
#ifndef QL_BD_BD_BUF_IFACE_H
#define QL_BD_BD_BUF_IFACE_H

#include <stdint.h>

#include "bd/bd_iface.h"
#include "bd/core_contract.h"
#include "ql/qlscan.h"

#ifdef __cplusplus
extern "C" {
#endif

// The context of one quick scan, handed to the core with option 38.
typedef struct BufferScanData {
    const char *name;   /* objectName of every report */
    QL_EventFn onEvent; /* may be NULL */
    void *userData;
    uint8_t flags;       /* low 8 bits of scanOpts; bit 0x2 leaves findings to the core */
    uint32_t result;     /* result bits collected */
    uint32_t objectKind; /* objectKind of every report */
} BufferScanData;

// The object name of buffer scans.
#define QL_BD_BUFFER_NAME "Unknown"

// Scan the request's object by its type with the matching scanner, logging the request and the
// result at QL_LOG_INFO. Returns the scanner's result; -1 with error 22 (logged) for a missing
// instance, request, object or callback record, error 38 (logged) for an unknown type.
int QL_BDBufferScan(BDInstance *instance, QuickRequest *request, EventCallback *callback);

// Add the chunk app_buf[app_buf_size] to the buffer's accumulation block and scan the whole
// block (reported as QL_OBJ_BUFFER "Unknown"). With buffer->more 0 the block is freed afterwards
// (accum NULL, accumLen 0); otherwise it stays for the next chunk. Returns the result bits, or
// -1: error 22 for a missing instance, buffer, app_buf or callback record, or a negative chunk
// size; error 11 when the block cannot grow (it stays as it was), or the core refuses an option
// (the chunk then stays in the block); error text "Scan request failed" when the scan command
// fails.
int QL_BDMemoryScanner(BDInstance *instance, BufferObject *buffer, uint32_t scanOpts,
                       EventCallback *callback);

// Scan the descriptor's first size bytes (reported as QL_OBJ_DESCRIPTOR with its name). The
// descriptor is read with lseek and read, so its position moves. Returns the result bits, or -1
// as QL_BDMemoryScanner (error 22 for a negative fd, 27 for a size past 2^31 - 1, which the
// core's offsets cannot reach).
int QL_BDFileDescScanner(BDInstance *instance, DescriptorObject *descriptor, uint32_t scanOpts,
                         EventCallback *callback);

// Have the core scan the file at path (absolute), reported as QL_OBJ_FILE with the path.
// Returns the result bits, or -1 as QL_BDMemoryScanner (error 22 for a relative path).
int QL_BDQuickScanner(BDInstance *instance, const char *path, uint32_t scanOpts,
                      EventCallback *callback);

// Have the core scan the file at path (absolute), reported with objectKind and displayName (the
// path when NULL). processSlot must be given; it is not written here. Returns the result bits,
// or -1 as QL_BDQuickScanner.
int QL_BDProcessScanner(BDInstance *instance, const char *displayName, const char *path,
                        uint32_t objectKind, int32_t *processSlot, QL_EventFn onEvent,
                        void *userData);

// The scan callback of the quick scanners; info->context is their BufferScanData. Reports a
// finding, disinfection, failed disinfection, encrypted or corrupted object (object flags 0x4 or
// 0x1000000, and 0x10: result bits 8 and 16) or clean object and answers 0, 8 (stop) or 10
// (scanOpts bit 0x2: let the core act on the finding).
int QL_BD_BufferScanCallBack(uint32_t event, CoreEventInfo *info);

// I/O callbacks over a BufferObject's accumulation block: context1 is the address of its accum,
// context2 the address of its accumLen. Nothing outside the block is ever read or written: a
// negative offset or length, or an offset and length whose sum overflows, moves no byte (done 0,
// answer 0). Writing past the end grows the block and zero-fills any gap.
int QL_BD_memOpen(CoreIOObject *object);
int QL_BD_memClose(CoreIOObject *object);
int QL_BD_memRead(void *buffer, int32_t offset, int32_t length, int32_t *done,
                  CoreIOObject *object);
int QL_BD_memWrite(const void *buffer, int32_t offset, int32_t length, int32_t *done,
                   CoreIOObject *object);
int QL_BD_memGetSize(uint32_t *size, CoreIOObject *object);
// Resize the block (0 changes nothing); -1 when it cannot grow.
int QL_BD_memSetSize(uint32_t size, CoreIOObject *object);

// I/O callbacks over an open descriptor: context1 is the fd, context2 the object's size. Reads
// are cut at that size; a size change changes only the size, never the file. A failed seek,
// read or write answers -1; a negative length moves no byte.
int QL_BD_fdOpen(CoreIOObject *object);
int QL_BD_fdClose(CoreIOObject *object);
int QL_BD_fdRead(void *buffer, int32_t offset, int32_t length, int32_t *done, CoreIOObject *object);
int QL_BD_fdWrite(const void *buffer, int32_t offset, int32_t length, int32_t *done,
                  CoreIOObject *object);
int QL_BD_fdGetSize(uint32_t *size, CoreIOObject *object);
int QL_BD_fdSetSize(uint32_t size, CoreIOObject *object);

#ifdef __cplusplus
}
#endif

#endif  // QL_BD_BD_BUF_IFACE_H
