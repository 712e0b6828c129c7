/*
 * quickscan: scan one file with the installed engine through libqlscan.
 *
 *   cc -o quickscan quickscan.c $(pkg-config --cflags --libs qlscan)
 *   ./quickscan FILE [ENGINE-CONFIGURATION]
 *
 * The engine configuration defaults to /opt/Quellar/etc/qorn.conf. Prints "FILE: clean",
 * "FILE: infected: NAME" or "FILE: error: TEXT". Exit status: 0 clean, 1 infected or suspicious,
 * 2 the scan could not be done.
 */
#include <ql/qlscan.h>
#include <stdio.h>
#include <string.h>

struct finding {
    char name[QL_NAME_MAX];
};

/* Called for every object the engine reports; keeps the last infection name. */
static int on_event(const char *object, int32_t kind, int32_t event, const char *infection,
                    const char *message, void *user_data) {
    struct finding *finding = user_data;
    (void)object;
    (void)kind;
    (void)event;
    (void)message;
    if (infection != NULL) {
        snprintf(finding->name, sizeof finding->name, "%s", infection);
    }
    return 0;
}

int main(int argc, char **argv) {
    const char *conf = argc > 2 ? argv[2] : "/opt/Quellar/etc/qorn.conf";
    struct finding finding = {""};
    QuickRequest request;
    EventCallback callback;
    AVHandle handle;
    int result;
    int status = 0;

    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: %s FILE [ENGINE-CONFIGURATION]\n", argv[0]);
        return 2;
    }
    handle = QL_InitAVHandle(conf, NULL, 0);
    if (handle == NULL) {
        fprintf(stderr, "%s: no engine: %s\n", argv[1], QL_GetErrorText());
        return 2;
    }
    QL_InitQuickRequest(&request);
    QL_InitEventCallback(&callback);
    callback.onEvent = on_event;
    callback.userData = &finding;
    request.object = argv[1];
    request.type = QL_REQ_PATH;
    request.scanOpts = QL_OPT_LINK;

    result = QL_QuickScan(handle, &request, &callback);
    if (result < 0) {
        printf("%s: error: %s\n", argv[1], QL_GetErrorText());
        status = 2;
    } else if (result & (QL_RES_INFECTED | QL_RES_SUSPICIOUS)) {
        printf("%s: infected: %s\n", argv[1], finding.name[0] ? finding.name : "(no name)");
        status = 1;
    } else if (result & QL_RES_ERROR) {
        printf("%s: error: the engine could not scan it\n", argv[1]);
        status = 2;
    } else {
        printf("%s: clean\n", argv[1]);
    }
    QL_DeinitAVHandle(handle, NULL);
    return status;
}
