#pragma once

class SerialLink;

// The holder through which every part of the desktop program reaches the one
// serial link: the main panel stores its link here, the settings panel and
// the frame take it from here. The core never sees it; the command line and
// the station hold their links themselves.
class Class1
{
public:
    SerialLink *CWSerial = nullptr;
};
