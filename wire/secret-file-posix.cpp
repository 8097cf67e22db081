// The secret's file on POSIX systems: its permission bits are checked, like a private key's.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wire/secret-file.h"

bool secret_file_read(const std::string& path, std::size_t max_size, std::string* contents,
                      std::string* error) {
    int fd;
    do {
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    bool ok = fstat(fd, &info) == 0;
    if (!ok) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
    } else if (!S_ISREG(info.st_mode)) {
        *error = path + " is not a regular file";
        ok = false;
    } else if ((info.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        *error = path + " can be read or changed by other users (mode " + mode +
                 "); make it private with: chmod 600 " + path;
        ok = false;
    }
    contents->clear();
    char chunk[512];
    while (ok && contents->size() < max_size) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = "cannot read " + path + ": " + std::strerror(errno);
            ok = false;
        }
        if (n <= 0) break;
        contents->append(chunk, static_cast<std::size_t>(n));
    }
    close(fd);
    if (contents->size() > max_size) contents->resize(max_size);
    return ok;
}

bool secret_file_create(const std::string& path, const std::string& contents, std::string* error) {
    int fd;
    do {
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *error = errno == EEXIST ? path + " exists already; it is left as it is"
                                 : "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    // The mode given to open is narrowed by the umask, never widened: 0600 holds whatever it is.
    bool ok = fchmod(fd, 0600) == 0;
    for (std::size_t done = 0; ok && done < contents.size();) {
        ssize_t n = write(fd, contents.data() + done, contents.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        done += n > 0 ? std::size_t(n) : 0;
    }
    if (!ok) *error = "cannot write " + path + ": " + std::strerror(errno);
    if (close(fd) != 0 && ok) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        ok = false;
    }
    // A half-written secret would only fail later, with a vaguer message.
    if (!ok) unlink(path.c_str());
    return ok;
}

std::string secret_file_default_path() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') return std::string(config) + "/jtag-varnax/secret";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return std::string(home) + "/.config/jtag-varnax/secret";
    return "";
}
