/* The public header compiles as C, and the shared library links and answers through it. */
#include <ql/qlscan.h>
#include <string.h>

int main(void) {
    QuickRequest request;
    ScanReport report;
    ExtraData extra;
    QL_InitQuickRequest(&request);
    QL_InitScanReport(&report);
    QL_InitExtraData(&extra);
    if (request.type != QL_REQ_UNSET || report.events.onEvent != NULL || extra.excludeDirs) {
        return 1;
    }
    /* Every action of the header is exported, the move among them. */
    if (QL_MoveFile(NULL, NULL) != -1) {
        return 1;
    }
    QL_SetError(QLE_AV_CONNECT);
    if (strcmp(QL_GetErrorText(), "Connecting AV Engine failed") != 0) {
        return 1;
    }
    return QL_SetErrorText(NULL) == -1 && strcmp(QL_GetErrorText(), "Unknown error") == 0 ? 0 : 1;
}
