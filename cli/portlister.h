#pragma once

class OutputChannel;

// --list-ports: the port texts the port box offers, COM 1 to COM 10 with the
// device each stands for, then the serial devices found on the machine with
// what their drivers tell of them (adapter name, maker, serial number, USB ids).
class PortLister
{
public:
    // Writes the list as text, or as JSON events; returns the exit code.
    static int run(OutputChannel &out, bool json);
};
