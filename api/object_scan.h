// The engine-neutral object scan of a file or directory tree (QL_ScanObject in the public
// header): the extra data parsed and the options filtered (api/extra_data.h), the path made
// absolute and its links resolved, and a directory walked with QL_OPT_LINK built into a scan
// tree whose directories the back end scans one by one; anything else goes to the back end as
// one object.
#ifndef QL_API_OBJECT_SCAN_H
#define QL_API_OBJECT_SCAN_H

#include "api/extra_data.h"
#include "ql/qlscan.h"

#endif  // QL_API_OBJECT_SCAN_H
