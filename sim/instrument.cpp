#include "sim/instrument.h"

#include <cstdio>

namespace {

std::string hex8(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
    return text;
}

} // namespace

Instrument::Instrument(SimOptions options)
    : m_options(std::move(options))
{ }

Instrument::Reply Instrument::handle(std::string_view command, bool truncated)
{
    // The link test and the erase are understood at any time, also in the
    // middle of an image: a tool restarted half-way begins with them.
    if (!truncated && command == "ARC*") {
        ++m_linkTests;
        return {m_options.arcReply};
    }
    if (!truncated && command == "KILL")
        return handleErase();
    if (m_inImage)
        return handleLine(command, truncated);
    // Outside an image (before the first KILL, after the end line, after a
    // refused erase) a firmware line means the sender lost track.
    ++m_otherCommands;
    report("refused a line outside an image");
    return {std::string(kRefusal)};
}

Instrument::Reply Instrument::handleErase()
{
    ++m_killsReceived;
    if (faultsActive() && m_options.eraseFault == SimOptions::EraseFault::Refuse) {
        report("erase refused (fault)");
        m_inImage = false;
        return {std::string(kRefusal), false, Work::Erase};
    }
    if (faultsActive() && m_options.eraseFault == SimOptions::EraseFault::Ignore) {
        report("erase ignored (fault)");
        m_inImage = false;
        return {{}, true, Work::Erase};
    }
    ++m_eraseCount;
    m_image.clear();
    m_inImage = true;
    report("erasing, answering in " + std::to_string(m_options.eraseTime.count()) + " ms");
    if (faultsActive() && m_options.eraseReply) {
        report("erase answered with a reply of its own (fault)");
        return {*m_options.eraseReply, false, Work::Erase};
    }
    return {std::string(kAck), false, Work::Erase};
}

Instrument::Reply Instrument::handleLine(std::string_view line, bool truncated)
{
    // A fault changes only the answer: the line counts as received and goes
    // into the image, so the summary shows what the tool actually sent.
    MemoryImage::LineKind kind;
    if (truncated) {
        m_image.addMalformedLine();
        kind = MemoryImage::LineKind::Malformed;
    } else {
        kind = m_image.addLine(line);
    }
    const std::uint64_t number = m_image.lines();

    Reply reply;
    if (kind == MemoryImage::LineKind::End) {
        m_inImage = false;
        reply.bytes = m_options.endReply;
        if (m_options.exitAfterEnd)
            reply.after = After::Exit;
        report("end line after " + std::to_string(number - 1) + " lines");
    } else {
        reply.bytes = kAck;
    }

    if (!faultsActive())
        return reply;
    const std::string where = "line " + std::to_string(number);
    if (m_options.refuseLines.contains(number)) {
        report("refusing " + where + " (fault)");
        reply.bytes = kRefusal;
    } else if (m_options.ignoreLines.contains(number)) {
        report("ignoring " + where + " (fault)");
        reply.bytes.clear();
        reply.silent = true;
    } else if (m_options.garbageLines.contains(number)) {
        report("garbling " + where + " (fault)");
        reply.bytes = kGarbage;
    } else if (const auto own = m_options.lineReplies.find(number); own != m_options.lineReplies.end()) {
        report("answering " + where + " with a reply of its own (fault)");
        reply.bytes = own->second;
    }
    if (m_options.hangupAfterLines.contains(number)) {
        report("hanging up after " + where + " (fault)");
        reply.after = After::HangUp;
    }
    return reply;
}

bool Instrument::faultsActive() const
{
    return !m_options.faultOnce || m_killsReceived <= 1;
}

void Instrument::report(const std::string &text) const
{
    if (m_reporter)
        m_reporter(text);
}

std::string Instrument::summary(bool json, std::string_view exitReason) const
{
    const auto ranges = m_image.ranges();
    const std::string checksum = hex8(m_image.checksum());
    if (json) {
        std::string list;
        for (const auto &range : ranges)
            list += (list.empty() ? "\"" : ",\"") + MemoryImage::formatRange(range) + "\"";
        // exitReason comes from our own fixed words, no escaping needed.
        return "{\"lines_received\":" + std::to_string(m_image.lines()) + ",\"data_bytes\":"
            + std::to_string(m_image.dataBytes()) + ",\"malformed_lines\":" + std::to_string(m_image.malformedLines())
            + ",\"odd_data_lines\":" + std::to_string(m_image.oddDataLines()) + ",\"address_ranges\":[" + list + "]"
            + ",\"checksum\":\"" + checksum + "\"" + ",\"end_line_seen\":" + (m_image.endSeen() ? "true" : "false")
            + ",\"erase_count\":" + std::to_string(m_eraseCount) + ",\"link_tests\":" + std::to_string(m_linkTests)
            + ",\"other_commands\":" + std::to_string(m_otherCommands) + ",\"exit_reason\":\"" + std::string(exitReason)
            + "\"}\n";
    }
    std::string list;
    for (const auto &range : ranges)
        list += (list.empty() ? "" : " ") + MemoryImage::formatRange(range);
    return "lines received: " + std::to_string(m_image.lines()) + "\ndata bytes: " + std::to_string(m_image.dataBytes())
        + "\nmalformed lines: " + std::to_string(m_image.malformedLines()) + "\nodd data lines: "
        + std::to_string(m_image.oddDataLines()) + "\naddress ranges: " + (list.empty() ? "none" : list)
        + "\nchecksum: " + checksum + "\nend line seen: " + (m_image.endSeen() ? "yes" : "no")
        + "\nerase count: " + std::to_string(m_eraseCount) + "\nlink tests: " + std::to_string(m_linkTests)
        + "\nother commands: " + std::to_string(m_otherCommands) + "\nexit reason: " + std::string(exitReason) + "\n";
}
