#!/usr/bin/env bash
# Whether qemu-i386 still moves a thread onto the newest thread's thread pointer when a signal
# handler of that thread returns: builds a 32-bit program that starts one thread, handles a signal
# on the first and compares pthread_self() before and after. Prints what it finds; exits 0 either
# way, so .ci/run records the emulator's behaviour beside the 32-bit results.
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/check.c" <<'PROGRAM'
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <unistd.h>
static atomic_int done;
static void *idle(void *arg) {
    while (!done) {
        usleep(1000);
    }
    return arg;
}
static void onSignal(int signal) { (void)signal; }
int main(void) {
    pthread_t worker;
    if (pthread_create(&worker, NULL, idle, NULL) != 0) {
        return 1;
    }
    usleep(100000);
    pthread_t before = pthread_self();
    signal(SIGUSR1, onSignal);
    raise(SIGUSR1);
    pthread_t after = pthread_self();
    done = 1;
    pthread_join(worker, NULL);
    puts(pthread_equal(before, after) ? "kept" : "moved onto the newest thread");
    return 0;
}
PROGRAM
gcc -m32 -pthread -o "$work/check" "$work/check.c"
# The 32-bit tests always run under the emulator (tests/CMakeLists.txt), so the check does too.
echo "qemu-i386, the thread pointer after a signal handler: $(qemu-i386 "$work/check")"
