#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// The simulator's command line: how the instrument answers, which faults it
// shows, how it is paced and what it prints. Others script against these
// options (tests, benchmarks, training set-ups), so names and defaults stay.
struct SimOptions
{
    enum class EraseFault { None, Refuse, Ignore };

    std::string arcReply = "WEXEL-SIM 1.0*";
    std::string endReply = "OK*";
    // The real instrument needs about this long to erase; the tool reads the
    // answer only about 5 s after KILL, so it never sees the difference.
    std::chrono::milliseconds eraseTime{2000};
    EraseFault eraseFault = EraseFault::None;
    // Replaces the erase's acknowledgement "*" (not a refusal or the silence
    // of eraseFault): the instrument still erases, only its answer differs.
    std::optional<std::string> eraseReply;

    // Faults on firmware lines, numbered from 1 after each KILL.
    std::set<std::uint64_t> refuseLines;
    std::set<std::uint64_t> ignoreLines;
    std::set<std::uint64_t> garbageLines;
    std::set<std::uint64_t> hangupAfterLines;
    // Own answers to single lines, in place of "*" (or of the end reply):
    // stray bytes around an acknowledgement, two acknowledgements at once.
    std::map<std::uint64_t, std::string> lineReplies;
    // Faults only during the first image, so a retry can succeed.
    bool faultOnce = false;

    bool splitAcks = false;
    // 0: answer at once, as fast as the pseudo-terminal allows.
    long baud = 0;
    std::chrono::milliseconds ackDelay{0};
    // A USB serial adapter's latency timer between us and the tool: every
    // reply waits for the timer's next tick. 0: no adapter.
    std::chrono::milliseconds latency{0};

    std::string linkPath;
    bool exitAfterEnd = false;
    bool json = false;
    bool quiet = false;
    bool log = false;
    bool help = false;

    // Fills the options from the arguments (without the program name).
    // Returns an empty string on success, otherwise what is wrong.
    std::string parse(const std::vector<std::string_view> &args);

    static std::string usage(std::string_view program);
    // Reply texts may carry bytes a shell cannot pass easily: \xHH, \n, \r,
    // \t and \\ are turned into their bytes; any other backslash stays.
    static std::string unescape(std::string_view text);
};
