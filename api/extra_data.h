// The object scan's extra data texts and its option filter.
//
// Extra data texts start with a six-character keyword: "QDIR::" (quarantine directory, with
// QL_ACT_QUARANTINE), "REXT::" (rename extension, with QL_ACT_RENAME), "SEXT::"/"XEXT::"
// (extensions to scan/skip, with 0x0400/0x0800), "XDIR::" (':'-separated directories to skip,
// with 0x1000), "DPTH::" (depth 0 to 64, with 0x2000), "SIZE::" (a size with an optional b, k
// or m unit, with 0x4000). For each keyword the first acceptable text wins; at most 127 texts
// are examined. Malformed extra data never fails a scan: the filter drops the option instead.
#ifndef QL_API_EXTRA_DATA_H
#define QL_API_EXTRA_DATA_H

#include "ql/qlscan.h"

#ifdef __cplusplus
extern "C" {
#endif

// Parse up to count texts (stopping at a NULL entry) into extra; excludeDirs, when taken, is
// an allocated copy the caller frees. -1 with error 22 when extra is NULL.
int QL_ExtraDataList(QLLogger *logger, int count, const char *const *texts, uint32_t scanOpts,
                     int32_t actOpts, ExtraData *extra);

// Drop the options of request whose values extra lacks, and normalise the rest. -1 with error
// 22 when either is NULL.
int QL_FilterOptions(QLLogger *logger, ObjectRequest *request, ExtraData *extra);

#ifdef __cplusplus
}
#endif

#endif  // QL_API_EXTRA_DATA_H
