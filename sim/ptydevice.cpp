#include "sim/ptydevice.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

PtyDevice::~PtyDevice()
{
    removeLink();
    close();
}

bool PtyDevice::open(std::string *error)
{
    char name[PATH_MAX] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        *error = std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
        m_master = m_slave = -1;
        return false;
    }
    m_path = name;
    // Raw from the start: until the tool sets its own mode, a cooked device
    // would echo our replies back to us and turn line feeds around.
    termios tio{};
    if (::tcgetattr(m_slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::cfsetspeed(&tio, B115200);
        ::tcsetattr(m_slave, TCSANOW, &tio);
    }
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    return true;
}

void PtyDevice::close()
{
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
    m_master = m_slave = -1;
}

bool PtyDevice::makeLink(const std::string &linkPath, std::string *error)
{
    // Made under a temporary name and renamed over the old one, so the path
    // never points nowhere while a tool may be looking it up.
    const std::string temporary = linkPath + ".tmp" + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(m_path.c_str(), temporary.c_str()) != 0 || ::rename(temporary.c_str(), linkPath.c_str()) != 0) {
        *error = "cannot link " + linkPath + " to " + m_path + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    m_linkPath = linkPath;
    return true;
}

void PtyDevice::removeLink()
{
    if (m_linkPath.empty())
        return;
    char target[PATH_MAX] = {};
    const ssize_t n = ::readlink(m_linkPath.c_str(), target, sizeof target - 1);
    if (n >= 0 && std::string(target, static_cast<std::size_t>(n)) == m_path)
        ::unlink(m_linkPath.c_str());
    m_linkPath.clear();
}

std::size_t PtyDevice::unreadByPeer() const
{
    int queued = 0;
    if (m_slave < 0 || ::ioctl(m_slave, TIOCINQ, &queued) != 0 || queued < 0)
        return 0;
    return static_cast<std::size_t>(queued);
}
