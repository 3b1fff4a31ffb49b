#pragma once

class CliOptions;

// --check FILE: reads and checks the file as an update would, opens no port,
// and prints what an update would send, or why the file would be refused.
namespace CheckCommand {
// Returns the exit code: 0 when the file would be sent, 3 when refused.
int run(const CliOptions &options);
} // namespace CheckCommand
