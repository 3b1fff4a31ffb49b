#include "sim/simoptions.h"
#include "sim/hexdigit.h"

#include <charconv>

namespace {

// A day: larger delays are typing mistakes, not test set-ups.
constexpr std::int64_t kMaxDelayMs = 24 * 60 * 60 * 1000;
constexpr std::int64_t kMaxBaud = 100'000'000;
// Adapters keep their latency timer in one byte of milliseconds.
constexpr std::int64_t kMaxLatencyMs = 255;

bool toNumber(std::string_view text, std::int64_t min, std::int64_t max, std::int64_t *value)
{
    std::int64_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v < min || v > max)
        return false;
    *value = v;
    return true;
}

} // namespace

std::string SimOptions::parse(const std::vector<std::string_view> &args)
{
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view name = args[i];
        std::string_view value;
        bool hasValue = false;
        if (const auto eq = name.find('='); name.starts_with("--") && eq != std::string_view::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasValue = true;
        }
        const auto needValue = [&]() -> bool {
            if (hasValue)
                return true;
            if (i + 1 >= args.size())
                return false;
            value = args[++i];
            hasValue = true;
            return true;
        };
        const auto number = [&](std::int64_t min, std::int64_t max, std::int64_t *out) -> std::string {
            if (!needValue())
                return std::string(name) + " needs a value";
            if (!toNumber(value, min, max, out))
                return std::string(name) + ": not a number from " + std::to_string(min) + " to " + std::to_string(max)
                    + ": " + std::string(value);
            return {};
        };
        const auto flag = [&](bool *out) -> std::string {
            if (hasValue)
                return std::string(name) + " takes no value";
            *out = true;
            return {};
        };

        std::string error;
        std::int64_t n = 0;
        if (name == "--help" || name == "-h") {
            error = flag(&help);
        } else if (name == "--arc-reply" || name == "--end-reply") {
            if (!needValue())
                error = std::string(name) + " needs a value";
            else
                (name == "--arc-reply" ? arcReply : endReply) = unescape(value);
        } else if (name == "--erase-reply") {
            if (!needValue())
                error = "--erase-reply needs a value";
            else
                eraseReply = unescape(value);
        } else if (name == "--line-reply") {
            // Two values: the line's number, then its answer.
            if ((error = number(1, INT64_MAX, &n)).empty()) {
                if (i + 1 >= args.size())
                    error = "--line-reply needs a line number and a reply";
                else
                    lineReplies[static_cast<std::uint64_t>(n)] = unescape(args[++i]);
            }
        } else if (name == "--erase-ms") {
            if ((error = number(0, kMaxDelayMs, &n)).empty())
                eraseTime = std::chrono::milliseconds(n);
        } else if (name == "--ack-delay-ms") {
            if ((error = number(0, kMaxDelayMs, &n)).empty())
                ackDelay = std::chrono::milliseconds(n);
        } else if (name == "--latency-ms") {
            if ((error = number(0, kMaxLatencyMs, &n)).empty())
                latency = std::chrono::milliseconds(n);
        } else if (name == "--baud") {
            if ((error = number(1, kMaxBaud, &n)).empty())
                baud = static_cast<long>(n);
        } else if (name == "--erase") {
            if (!needValue())
                error = "--erase needs a value: ok, refuse or ignore";
            else if (value == "ok")
                eraseFault = EraseFault::None;
            else if (value == "refuse")
                eraseFault = EraseFault::Refuse;
            else if (value == "ignore")
                eraseFault = EraseFault::Ignore;
            else
                error = "--erase takes ok, refuse or ignore, not " + std::string(value);
        } else if (name == "--refuse-line" || name == "--ignore-line" || name == "--garbage-line"
                   || name == "--hangup-after-line") {
            if ((error = number(1, INT64_MAX, &n)).empty()) {
                auto &lines = name == "--refuse-line" ? refuseLines
                    : name == "--ignore-line"         ? ignoreLines
                    : name == "--garbage-line"        ? garbageLines
                                                      : hangupAfterLines;
                lines.insert(static_cast<std::uint64_t>(n));
            }
        } else if (name == "--link") {
            if (!needValue() || value.empty())
                error = "--link needs a path";
            else
                linkPath = value;
        } else if (name == "--fault-once") {
            error = flag(&faultOnce);
        } else if (name == "--split-acks") {
            error = flag(&splitAcks);
        } else if (name == "--exit-after-end") {
            error = flag(&exitAfterEnd);
        } else if (name == "--json") {
            error = flag(&json);
        } else if (name == "--quiet") {
            error = flag(&quiet);
        } else if (name == "--log") {
            error = flag(&log);
        } else {
            error = "unknown option " + std::string(name);
        }
        if (!error.empty())
            return error;
    }
    return {};
}

std::string SimOptions::unescape(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        const char next = text[i + 1];
        if (next == '\\') {
            out += '\\';
            ++i;
        } else if (next == 'n') {
            out += '\n';
            ++i;
        } else if (next == 'r') {
            out += '\r';
            ++i;
        } else if (next == 't') {
            out += '\t';
            ++i;
        } else if (next == 'x' && i + 3 < text.size() && hexValue(text[i + 2]) >= 0 && hexValue(text[i + 3]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 2]) << 4 | hexValue(text[i + 3]));
            i += 3;
        } else {
            out += '\\';
        }
    }
    return out;
}

std::string SimOptions::usage(std::string_view program)
{
    std::string text = "Usage: " + std::string(program) + " [options]\n";
    text += R"(
Simulated Wexel instrument. Creates a pseudo-terminal, prints the path of its
device as the first line on standard output and answers on it as the
instrument does: "ARC*" (link test), "KILL" (erase; starts a new image), then
firmware lines, each ending with a line feed and answered with "*", up to the
end line "q" or "Q". Address lines are "@" and five hex digits, data lines
1 to 32 hex byte pairs separated by single spaces, none stored past address
FFFFF; any other line in an image is acknowledged too but counted as
malformed. At exit (SIGINT, SIGTERM, SIGHUP, a hang-up fault or
--exit-after-end) it prints a summary of the received image as "key: value"
lines.

Answers:
  --arc-reply TEXT        reply to "ARC*" (default "WEXEL-SIM 1.0*")
  --end-reply TEXT        reply to the end line (default "OK*")
                          (TEXT here and below may hold \xHH, \n, \r, \t
                          and \\)
  --erase-ms N            erase time before KILL is answered (default 2000)

Faults (line N counts firmware lines from 1 after each KILL; repeatable):
  --erase refuse|ignore   answer KILL with "NG*", or never ("ok": normal)
  --erase-reply TEXT      answer KILL with TEXT instead of "*", after the erase
                          time; the instrument still erases
  --refuse-line N         answer line N with "NG*"
  --ignore-line N         never answer line N
  --garbage-line N        answer line N with "\x15?#" (no "*")
  --hangup-after-line N   answer line N, then close the pseudo-terminal and
                          exit: the tool sees a hang-up
  --line-reply N TEXT     answer line N with TEXT instead of "*" (or of the end
                          reply); refuse, ignore and garbage on the same line
                          come first
  --fault-once            faults (--erase-reply and --line-reply included)
                          only during the first KILL and its image
  --split-acks            send replies of more than one byte one byte at a
                          time, 5 ms apart

Timing:
  --baud B                pace as a B-baud 8N1 wire: a reply leaves no earlier
                          than its command would have fully arrived, and goes
                          out at B baud (default: answer at once)
  --ack-delay-ms N        the instrument's own time before each reply other
                          than the erase's (default 0)
  --latency-ms N          play a USB serial adapter's latency timer of N ms
                          (0 to 255): every reply is held until the timer's
                          next tick, a multiple of N ms since the start
                          (default 0: no adapter)

Running:
  --link PATH             also make PATH a symbolic link to the device
                          (replaced if it exists, removed at exit)
  --exit-after-end        exit after answering the end line
  --json                  print the summary as one JSON object
  --quiet                 print only the device path and the summary
  --log                   echo every command and reply on standard error
  --help                  show this text

Summary keys: lines received (after the last KILL, end line included), data
bytes, malformed lines, odd data lines, address ranges (e.g. 0F000-0F01F),
checksum (CRC-32, 8 hex digits, over each range: start and length as 4 bytes
little-endian each, then its bytes), end line seen (yes/no), erase count,
link tests, other commands (lines outside an image, answered "NG*"),
exit reason (signal, hangup, end, error).

Exit status: 0 after a summary, 1 when the pseudo-terminal cannot be made,
2 for a wrong command line.
)";
    return text;
}
