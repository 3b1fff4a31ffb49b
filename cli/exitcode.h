#pragma once

// The exit status of wexel-update-cli. A production line branches on these,
// so the numbers stay as they are; they are listed in --help and README.md.
namespace ExitCode {
// The update ended with "Update OK", the link test got a reply, or the
// ports were listed.
constexpr int kSuccess = 0;
// The program could not set itself up (no signal channel).
constexpr int kInternal = 1;
// The command line is wrong: unknown option, missing FILE, bad number.
constexpr int kUsage = 2;
// Refused before anything was sent: no file, no port text, unreadable or
// empty file, port missing, busy or denied. The instrument is untouched.
constexpr int kUntouched = 3;
// "KILL" went out but the erase was refused or not answered.
constexpr int kEraseFailed = 4;
// A firmware line was refused or the link failed while writing: the
// instrument is erased and must be updated again.
constexpr int kWriteFailed = 5;
// The link test failed, the port above the link test's limit included.
constexpr int kLinkTestFailed = 6;
// Stopped by SIGINT (Ctrl-C) or SIGTERM, as shells report a SIGINT death.
constexpr int kInterrupted = 130;
} // namespace ExitCode
