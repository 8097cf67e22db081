// Serial devices as target ports on POSIX systems.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "server/targets/serial-port.h"
#include "text/text.h"

namespace {

// The system's constant for each of the standard speeds, in the order of text_baud_rates.
const speed_t speed_constants[] = {
    B50,      B75,      B110,     B134,     B150,     B200,     B300,     B600,
    B1200,    B1800,    B2400,    B4800,    B9600,    B19200,   B38400,   B57600,
    B115200,  B230400,  B460800,  B500000,  B576000,  B921600,  B1000000, B1152000,
    B1500000, B2000000, B2500000, B3000000, B3500000, B4000000,
};
static_assert(sizeof speed_constants / sizeof speed_constants[0] == text_baud_count,
              "one speed constant for each standard speed");

bool speed_constant(long baud, speed_t* speed) {
    for (std::size_t i = 0; i < text_baud_count; ++i)
        if (text_baud_rates[i] == baud) return *speed = speed_constants[i], true;
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
