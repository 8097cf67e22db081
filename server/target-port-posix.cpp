// Serial devices and TCP connections as target ports on POSIX systems.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "server/target-port.h"

namespace {

bool speed_constant(long baud, speed_t* speed) {
    static const struct {
        long baud;
        speed_t speed;
    } table[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000},
    };
    for (const auto& entry : table)
        if (entry.baud == baud) return *speed = entry.speed, true;
    return false;
}

}  // namespace

int port_open_serial(const std::string& device, long baud, std::string* error) {
    auto fail = [&](int fd, const std::string& why) {
        *error = "cannot open " + device + ": " + why;
        if (fd >= 0) close(fd);
        return -1;
    };
    // O_NONBLOCK also keeps the open from waiting for a carrier on a modem line.
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return fail(-1, std::strerror(errno));
    if (!isatty(fd)) return fail(fd, "not a serial device");
    // Another program reading the same line would steal bytes from the board's stream.
    if (ioctl(fd, TIOCEXCL) != 0) return fail(fd, std::strerror(errno));
    termios mode{};
    speed_t speed = B0;
    if (!speed_constant(baud, &speed)) return fail(fd, "unsupported speed");
    if (tcgetattr(fd, &mode) != 0) return fail(fd, std::strerror(errno));
    cfmakeraw(&mode);
    mode.c_iflag &= ~(IXON | IXOFF | IXANY);
    mode.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    mode.c_cflag |= CS8 | CREAD | CLOCAL;
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    if (cfsetispeed(&mode, speed) != 0 || cfsetospeed(&mode, speed) != 0 ||
        tcsetattr(fd, TCSANOW, &mode) != 0)
        return fail(fd, std::strerror(errno));
    return fd;
}

int port_start_connect(const std::string& host, std::uint16_t port, std::string* error) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        *error = "\"" + host + "\" is not an IPv4 address";
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::strerror(errno);
        return -1;
    }
    // Keystrokes go out one by one, as they would on a serial line.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int r;
    do {
        r = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (r != 0 && errno == EINTR);
    if (r != 0 && errno != EINPROGRESS) {
        *error = std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

bool port_finish_connect(int fd, std::string* error) {
    int why = 0;
    socklen_t len = sizeof why;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &why, &len) != 0) why = errno;
    if (why == 0) return true;
    *error = std::strerror(why);
    return false;
}
