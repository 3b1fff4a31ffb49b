#pragma once

#include "sim/memoryimage.h"
#include "sim/simoptions.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// The instrument's side of the protocol, without any I/O or clock: each
// received command goes in, the answer (or the silence) and what to do after
// it come out, and the firmware image the commands build is kept.
class Instrument
{
public:
    // What the instrument does once the reply has gone out.
    enum class After { Nothing, HangUp, Exit };
    // How long the instrument works on a command before it answers.
    enum class Work { Ack, Erase };

    struct Reply
    {
        std::string bytes;
        bool silent = false; // no answer at all
        Work work = Work::Ack;
        After after = After::Nothing;
    };

    // A reply the instrument uses to say no.
    static constexpr std::string_view kRefusal = "NG*";
    static constexpr std::string_view kAck = "*";
    // What a disturbed line answers: no '*', so the tool's read runs into its
    // time-out and gets bytes that are not an acknowledgement.
    static constexpr std::string_view kGarbage = "\x15?#";

    explicit Instrument(SimOptions options);

    // One command, without its line feed. `truncated`: the receiver could not
    // keep all of it.
    Reply handle(std::string_view command, bool truncated = false);

    // Status notes for a person watching ("erase refused", ...).
    void setReporter(std::function<void(const std::string &)> reporter) { m_reporter = std::move(reporter); }

    const MemoryImage &image() const { return m_image; }
    std::uint64_t eraseCount() const { return m_eraseCount; }
    std::uint64_t linkTests() const { return m_linkTests; }
    std::uint64_t otherCommands() const { return m_otherCommands; }

    // The exit summary: "key: value" lines, or one JSON object on one line.
    std::string summary(bool json, std::string_view exitReason) const;

private:
    Reply handleErase();
    Reply handleLine(std::string_view line, bool truncated);
    bool faultsActive() const;
    void report(const std::string &text) const;

    SimOptions m_options;
    MemoryImage m_image;
    bool m_inImage = false;
    std::uint64_t m_killsReceived = 0;
    std::uint64_t m_eraseCount = 0;
    std::uint64_t m_linkTests = 0;
    std::uint64_t m_otherCommands = 0;
    std::function<void(const std::string &)> m_reporter;
};
