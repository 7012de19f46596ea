// Started by the end-to-end tests through trustrun: writes what it was given
// (rights, session, descriptors other than its own report, words) to the file
// named by its first word.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char* argv[])
{
    if (argc < 2) {
        return 2;
    }
    const std::string path = argv[1];
    const std::string partial = path + ".partial";
    std::FILE* out = std::fopen(partial.c_str(), "w");
    if (out == nullptr) {
        return 3;
    }
    std::fprintf(out, "pid=%d\nsid=%d\nuid=%d\ngid=%d\n", getpid(), getsid(0), getuid(), getgid());
    char cwd[PATH_MAX] = "";
    std::fprintf(out, "cwd=%s\n", getcwd(cwd, sizeof cwd) ? cwd : "?");
    const char* marker = std::getenv("TRUSTRUN_PROBE_MARK");
    std::fprintf(out, "mark=%s\n", marker ? marker : "");

    std::string fds;
    DIR* dir = opendir("/proc/self/fd");
    for (dirent* entry; dir != nullptr && (entry = readdir(dir)) != nullptr;) {
        const int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd != dirfd(dir) && fd != fileno(out)) {
            fds += std::string(fds.empty() ? "" : " ") + entry->d_name;
        }
    }
    if (dir != nullptr) {
        closedir(dir);
    }
    std::fprintf(out, "fds=%s\n", fds.c_str());
    for (int fd = 0; fd < 3; ++fd) {
        char link[64];
        char target[PATH_MAX] = "";
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        const ssize_t n = readlink(link, target, sizeof target - 1);
        std::fprintf(out, "fd%d=%s\n", fd, n > 0 ? target : "?");
    }
    for (int i = 2; i < argc; ++i) {
        std::fprintf(out, "arg=%s\n", argv[i]);
    }
    std::FILE* status = std::fopen("/proc/self/status", "r");
    char line[256];
    while (status != nullptr && std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, "Cap", 3) == 0 || std::strncmp(line, "NoNewPrivs", 10) == 0) {
            std::fputs(line, out);
        }
    }
    if (status != nullptr) {
        std::fclose(status);
    }
    std::fclose(out);
    std::rename(partial.c_str(), path.c_str());

    // Asked to stay: run on until killed, to show that nobody waits for us.
    if (std::getenv("TRUSTRUN_PROBE_STAY") != nullptr) {
        for (;;) {
            pause();
        }
    }
    return 0;
}
