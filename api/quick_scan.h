// The engine-neutral quick scan (QL_QuickScan, QL_FilterQuickOptions in the public header).
//
// Option normalisation, all tests on the options as they were on entry:
//   0xFFFF (QL_OPT_INVALID) becomes 0; 0x0002 clears 0x8000 and 0x0001; 0x0010 without 0x0008
//   is cleared. The object-scan bits (0x0400 to 0x4000) have no effect in a quick scan and are
//   left as they are.
// A path request is made absolute against the current directory, must name a regular file
// after its links are followed, and a link is scanned through its final target only with
// QL_OPT_LINK (without it the call returns 0 and scans nothing). A buffer request reaches the
// engine with 0x8001 set. The engine sees the resolved path; when the call returns, the
// request's object is the caller's pointer again.
#ifndef QL_API_QUICK_SCAN_H
#define QL_API_QUICK_SCAN_H

#include "ql/qlscan.h"

#endif  // QL_API_QUICK_SCAN_H
