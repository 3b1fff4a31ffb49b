#pragma once

#include "core/update/updateoutcome.h"

#include <QString>

// The exit status of wexel-update-cli. A production line branches on these,
// so the numbers stay as they are; --help lists them from kMeanings, and
// cli/README.md says the same.
namespace ExitCode {
constexpr int kSuccess = 0;
constexpr int kInternal = 1;
constexpr int kUsage = 2;
constexpr int kUntouched = 3;
constexpr int kEraseFailed = 4;
constexpr int kWriteFailed = 5;
constexpr int kLinkTestFailed = 6;
constexpr int kSomeUnitsFailed = 7;
constexpr int kRecordLost = 8;
// As shells report a death by SIGINT.
constexpr int kInterrupted = 130;

struct Meaning
{
    int code;
    const char *text;
};

inline constexpr Meaning kMeanings[] = {
    {kSuccess,
     "success: \"Update OK\", the link test got a reply, or the ports were listed; --watch: every "
     "unit that arrived was updated and recorded"},
    {kInternal, "the program could not set itself up (no signal channel)"},
    {kUsage, "usage error: unknown option, missing FILE, bad number"},
    {kUntouched,
     "refused before anything was sent (no file, empty port text, unreadable or empty file, "
     "port missing, busy or denied, a retry refused because the port leads to another device): the "
     "instrument is untouched"},
    {kEraseFailed, "the erase was refused or not answered: the instrument may be erased"},
    {kWriteFailed,
     "a line was refused or the link failed while writing, or a retry was refused because the "
     "port now leads to another device: the instrument may be erased, run the update again"},
    {kLinkTestFailed, "the link test failed, \"COM PORT > 255\" included"},
    {kSomeUnitsFailed,
     "several ports: not every instrument was updated; the summary and each result say "
     "which and why. --watch: a unit was not updated (its FAIL says why)"},
    {kRecordLost,
     "every instrument was updated, but a record could not be written (--record: disk full, I/O "
     "error); the result names whose. --watch: the record of any unit was lost, and the summary names "
     "which. --check --output: the file would be sent, but OUT could not be written (or is not a "
     "regular file)"},
    {kInterrupted,
     "interrupted by Ctrl-C (SIGINT), SIGTERM or SIGHUP; each record says where it stopped. "
     "--watch ends so, with 0, 7 or 8 as its units went; 130 only when stopped before the "
     "image was read"},
};

// The exit status of an update that ended so.
int forOutcome(UpdateOutcome::Kind kind);
// The same, where the outcome tells more than its kind: a retry not made
// because the port leads elsewhere is 5 when an earlier attempt erased the
// unit, 3 when nothing was sent at all.
int forOutcome(const UpdateOutcome &outcome);
// The table for --help, each meaning wrapped to the terminal's usual width.
QString helpTable();
} // namespace ExitCode
