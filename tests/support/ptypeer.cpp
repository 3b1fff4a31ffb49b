#include "ptypeer.h"

#include "eventwait.h"

#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PtyPeer::PtyPeer()
{
    m_clock.start();
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        m_master = m_slave = -1;
        return;
    }
    m_slavePath = QString::fromLocal8Bit(name);
    // Raw on both sides, so no byte is translated or echoed before the link
    // opens the slave and sets its own mode.
    termios tio{};
    if (::tcgetattr(m_slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(m_slave, TCSANOW, &tio);
    }
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    m_notifier = std::make_unique<QSocketNotifier>(m_master, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &PtyPeer::readMaster);
}

PtyPeer::~PtyPeer()
{
    removeLink();
    m_notifier.reset();
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
}

void PtyPeer::setReading(bool reading)
{
    if (m_notifier)
        m_notifier->setEnabled(reading);
}

void PtyPeer::clearReceived()
{
    m_received.clear();
    m_partial.clear();
    m_commands.clear();
}

void PtyPeer::send(const QByteArray &bytes)
{
    if (m_master < 0)
        return;
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0)
            done += n;
        else if (n < 0 && errno == EAGAIN)
            EventWait::forMs(1); // the link's side is full: let it read
        else if (n < 0 && errno != EINTR)
            return;
    }
}

bool PtyPeer::makeLink(const QString &path)
{
    removeLink();
    if (m_slavePath.isEmpty() || !QFile::link(m_slavePath, path))
        return false;
    m_linkPath = path;
    return true;
}

void PtyPeer::removeLink()
{
    if (!m_linkPath.isEmpty())
        QFile::remove(m_linkPath);
    m_linkPath.clear();
}

void PtyPeer::hangUp()
{
    removeLink();
    m_notifier.reset();
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
    m_master = m_slave = -1;
}

void PtyPeer::readMaster()
{
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n <= 0) {
            // EIO: nobody holds the slave side right now; that is not an end.
            if (n < 0 && errno == EINTR)
                continue;
            break;
        }
        const QByteArray chunk(buf, n);
        m_received += chunk;
        m_partial += chunk;
        qsizetype nl;
        while ((nl = m_partial.indexOf('\n')) >= 0) {
            const QByteArray command = m_partial.left(nl);
            m_partial.remove(0, nl + 1);
            m_commands.append({command, m_clock.elapsed()});
            if (m_handler)
                m_handler(command);
        }
    }
}
