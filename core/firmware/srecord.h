#pragma once

#include "core/firmware/recordreader.h"

// Reads Motorola S-records: "S", the type digit, nn the count of the bytes
// after it (address, data, checksum), the address, the data and the ones'
// complement of the low byte of the sum of count, address and data. Types:
// S0 header, kept for --check; S1, S2 and S3 data at 2-, 3- and 4-byte
// addresses; S5 and S6 the count of data records before them, in 2 or 3
// bytes, verified; S7, S8 and S9 end, with a start address of 4, 3 or 2
// bytes that is kept for --check and not sent. An end record is not
// required (the summary tells, and the file is sent with a warning that it
// may be cut short); after one, nothing but blank lines. Every checksum is
// verified. Data runs on linearly from its address, across 64 KiB too.
class SRecordReader : public RecordReader
{
public:
    SRecordReader();

protected:
    bool takeRecord(QByteArrayView record, qsizetype offset) override;
};
