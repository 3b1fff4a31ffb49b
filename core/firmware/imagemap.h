#pragma once

#include <QBitArray>
#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

#include <functional>
#include <vector>

// The (address, byte) set a record file defines, kept by blocks of bytes
// that its records wrote one after the other, and the instrument's lines
// that write it: the text image a record file is sent as.
//
// Memory: a block costs 20 bytes however many records it took; the bytes
// cost themselves, at most the instrument's 1 MiB (no address is written
// twice); which addresses are written costs one bit each of that 1 MiB,
// 128 KiB in all. So a file of one-byte records in any order (14 bytes a
// record in Intel HEX) takes less than twice its size, and no byte is a
// heap node of its own.
class ImageMap
{
public:
    // A text line of the instrument: 16 bytes, as TI-TXT writers put them,
    // within its 32-byte buffer with room to spare.
    static constexpr int kBytesPerLine = 16;

    enum class Added {
        Ok,
        PastLastAddress, // some byte would lie past the instrument's last address
        Overlap, // some address was written already
    };

    // Room for the blocks a file of `fileSize` bytes can make, one a record
    // at most: address space, not memory, until they are made. So the
    // blocks grow without a second copy of them while the first is moved.
    void reserveFor(qint64 fileSize);

    // Bytes from `address` on, from the file's line `line`. Nothing is kept
    // unless every byte lies within the instrument's addresses and none of
    // them was written before.
    Added add(quint64 address, QByteArrayView bytes, qint64 line);
    // After Added::Overlap: the first address written twice, and the file's
    // lines of the records of the block that wrote it first.
    quint64 overlapAddress() const { return m_overlapAddress; }
    qint64 overlapFirstLine() const { return m_overlapFirstLine; }
    qint64 overlapLastLine() const { return m_overlapLastLine; }

    qint64 byteCount() const { return m_bytes.size(); }
    bool isEmpty() const { return m_bytes.isEmpty(); }

    // Hands `take` the instrument's lines, in address order: "@" and five
    // hexadecimal digits at the start of each contiguous run of bytes, data
    // lines of kBytesPerLine bytes from there ("31 40 00 24", the last of a
    // run shorter, an odd one without its pad byte, which PrepareLine adds),
    // and the end line "q". With each line goes the file's line of a record
    // behind it: for a data line, the last record of the block that holds
    // its last byte, so a fault at the end of a run names the record that
    // put the byte there. Stops, and returns false, when `take` does.
    bool writeLines(const std::function<bool(QByteArrayView line, qint64 fileLine)> &take);

private:
    struct Block
    {
        quint32 start = 0;
        quint32 size = 0;
        quint32 offset = 0; // where its bytes begin in m_bytes
        quint32 firstLine = 0;
        quint32 lastLine = 0;
    };

    void findEarlierWriter(quint64 address);

    std::vector<Block> m_blocks; // in the order the file wrote them until writeLines() sorts them
    QByteArray m_bytes; // the blocks' bytes, in the order the file wrote them
    QBitArray m_written; // one bit per address of the instrument, once anything is added
    quint64 m_overlapAddress = 0;
    qint64 m_overlapFirstLine = 0;
    qint64 m_overlapLastLine = 0;
};
