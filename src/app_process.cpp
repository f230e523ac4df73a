#include "app_process.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "svr_log.h"

int set_limit(int i) {
    struct rlimit64 limit;
    getrlimit64(RLIMIT_NOFILE, &limit);
    // Widened with its sign, so a negative request asks for no limit at all.
    limit.rlim_cur = static_cast<rlim64_t>(static_cast<long long>(i));
    limit.rlim_max = limit.rlim_cur;
    if (setrlimit64(RLIMIT_NOFILE, &limit) != 0) printf("setrlimit failed!\n");
    getrlimit64(RLIMIT_NOFILE, &limit);
    return 0;
}

int InitProcesses() {
    pid_t pid = fork();
    if (pid < 0) {
        int err = errno;
        LOG_FATAL("fork error: err=%s", strerror(err));
        exit(-1);
    }
    // The child owns every stream buffer from here on; the parent must not
    // flush its copies (nor run the logs' destructors) or lines come out twice.
    if (pid > 0) _exit(0);
    return 0;
}
