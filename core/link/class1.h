#pragma once

class SerialLink;

// The holder through which every part of the program reaches the one serial link.
class Class1
{
public:
    SerialLink *CWSerial = nullptr;
};
