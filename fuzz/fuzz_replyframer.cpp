// Fuzzes cutting replies out of the bytes received. The input's first bytes
// say how the rest arrives: in chunks of which sizes, and what the reader
// takes after each, and how much the framer may hold; the rest is the byte
// stream from the instrument.
#include "fuzzcheck.h"
#include "core/link/replyframer.h"

#include <QByteArray>
#include <QByteArrayView>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace {

constexpr char kEndOfRead = '*';

// One step of the schedule, packed in a byte: the low six bits are the chunk
// size (0 included: a read that brought nothing), bit 6 takes every reply
// there is instead of one, bit 7 then takes all that is left, as a read that
// timed out does.
struct Step
{
    explicit Step(uint8_t b)
        : size(b & 0x3F)
        , drain((b & 0x40) != 0)
        , takeAll((b & 0x80) != 0)
    { }
    qsizetype size;
    bool drain;
    bool takeAll;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    if (size == 0)
        return 0;
    // First byte: how many schedule bytes follow (1 to 8), used in turn, and
    // in its high bits the framer's limit, small enough to be reached.
    const size_t scheduleSize = std::min<size_t>(1 + bytes[0] % 8, size - 1);
    const qsizetype limit = 1 + qsizetype(bytes[0] >> 3) * 64;
    const uint8_t *const schedule = bytes + 1;
    const QByteArrayView stream(bytes + 1 + scheduleSize, qsizetype(size - 1 - scheduleSize));
    // A schedule of empty reads only would never get through the stream.
    const bool stalls = std::all_of(schedule, schedule + scheduleSize, [](uint8_t b) { return Step(b).size == 0; });

    ReplyFramer framer(kEndOfRead, limit);
    qsizetype arrived = 0;
    QByteArray taken; // everything handed out, in order
    bool overflowed = false;

    // Takes one reply and checks it against the stream itself: the bytes not
    // yet taken, up to and including the first '*' among them.
    const auto takeOne = [&]() {
        if (overflowed) {
            fuzzCheck(!framer.takeReply(), "no reply after an overflow");
            return false;
        }
        const QByteArrayView waiting = stream.sliced(taken.size(), arrived - taken.size());
        const qsizetype end = waiting.indexOf(kEndOfRead);
        const std::optional<QByteArray> reply = framer.takeReply();
        fuzzCheck(reply.has_value() == (end >= 0), "a reply is there exactly when a '*' has arrived");
        if (!reply)
            return false;
        fuzzCheck(reply->endsWith(kEndOfRead), "a reply ends with '*'");
        fuzzCheck(reply->count(kEndOfRead) == 1, "a reply holds one '*' only");
        fuzzCheck(*reply == waiting.first(end + 1), "a reply is the next bytes of the stream");
        taken.append(*reply);
        return true;
    };

    for (size_t i = 0; arrived < stream.size(); ++i) {
        const Step step(scheduleSize > 0 ? schedule[i % scheduleSize] : 0);
        const qsizetype chunk = stalls ? stream.size() : std::min(step.size, stream.size() - arrived);
        framer.append(stream.sliced(arrived, chunk));
        arrived += chunk;
        overflowed = overflowed || arrived - taken.size() > limit;
        fuzzCheck(framer.overflowed() == overflowed, "the framer overflows once more than its limit waits");
        fuzzCheck(framer.size() <= limit, "the framer never holds more than its limit");
        if (!overflowed)
            fuzzCheck(framer.size() == arrived - taken.size(), "the framer holds what was not taken");

        if (step.drain) {
            while (takeOne()) { }
        } else {
            takeOne();
        }
        if (step.takeAll && overflowed) {
            fuzzCheck(framer.takeAll().size() <= limit, "an overflowed framer hands out no more than its limit");
        } else if (step.takeAll) {
            const QByteArray rest = framer.takeAll();
            fuzzCheck(rest == stream.sliced(taken.size(), arrived - taken.size()),
                      "taking all hands out what was not taken");
            taken.append(rest);
            fuzzCheck(framer.isEmpty(), "nothing is left after taking all");
        }
    }
    while (takeOne()) { }
    if (overflowed)
        return 0;
    taken.append(framer.takeAll());
    fuzzCheck(framer.isEmpty() && framer.size() == 0, "nothing is left at the end");
    fuzzCheck(taken == stream, "the replies and the rest are the stream, nothing lost or doubled");
    return 0;
}
