#pragma once

#include <cstddef>
#include <string>

// The simulator's end of a pseudo-terminal; the tool opens the other end,
// path(), as its serial port.
//
// We keep a descriptor of that other end open ourselves: when the last one
// closes, the master reads EIO at once, on every read, so a tool that closes
// and reopens the port would send us into a busy loop.
class PtyDevice
{
public:
    PtyDevice() = default;
    ~PtyDevice();
    PtyDevice(const PtyDevice &) = delete;
    PtyDevice &operator=(const PtyDevice &) = delete;

    // Makes the pseudo-terminal: raw on the device side, master non-blocking.
    bool open(std::string *error);
    // Closes both ends: whoever holds the device sees a hang-up.
    void close();

    int masterFd() const { return m_master; }
    const std::string &path() const { return m_path; }

    // Points linkPath at the device, replacing what was there.
    bool makeLink(const std::string &linkPath, std::string *error);
    // Removes the link again, unless it was pointed elsewhere since.
    void removeLink();

    // Bytes written to the master that the device's reader has not read yet.
    std::size_t unreadByPeer() const;

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
    std::string m_linkPath;
};
