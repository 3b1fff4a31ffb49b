#pragma once

#include "sim/instrument.h"
#include "sim/pacer.h"
#include "sim/ptydevice.h"
#include "sim/simoptions.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Runs the simulated instrument on a pseudo-terminal: one poll loop that
// reads commands, lets the instrument answer, and writes the answers when the
// pacer says they are due. Ends on SIGINT, SIGTERM or SIGHUP, after a hang-up
// fault, or after the end line with exitAfterEnd; then prints the summary.
class Simulator
{
public:
    explicit Simulator(SimOptions options);

    // Exit status: 0 after a summary, 1 when the pseudo-terminal fails.
    int run();

private:
    enum Mark { kHangUp = 1, kExit = 2 };

    // While paced: when reading may go on, if the bytes taken so far are
    // still a driver's buffer ahead of the wire.
    std::optional<Pacer::Clock::time_point> receiveHeldUntil(Pacer::Clock::time_point now) const;
    void readInput();
    void takeBytes(const char *data, std::size_t size);
    void handleCommand(std::string_view command, bool truncated, std::size_t lastByteOffset);
    void writeDue();
    bool closingDone() const;
    void note(const std::string &text) const;
    void logBytes(const char *direction, std::string_view bytes) const;

    SimOptions m_options;
    Instrument m_instrument;
    Pacer m_pacer;
    PtyDevice m_device;

    std::string m_partial; // the command being received
    bool m_truncated = false; // m_partial dropped bytes beyond kMaxLine
    std::string m_unwritten; // due bytes the pseudo-terminal had no room for
    bool m_stopReading = false; // a reply ends the run: later commands go unheard
    bool m_closing = false;
    Pacer::Clock::time_point m_closingSince{};
    std::string m_exitReason = "signal";
};
