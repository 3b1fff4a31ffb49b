#include "core/firmware/imagemap.h"

#include "core/firmware/firmwarefile.h"
#include "core/firmware/linegrammar.h"

#include <algorithm>
#include <array>
#include <limits>

namespace {

constexpr char kAddressMark = '@';
constexpr qsizetype kAddressDigits = 5;
constexpr char kSpace = ' ';
constexpr QByteArrayView kEndLine("q");
constexpr char kDigits[] = "0123456789ABCDEF";
// The shortest line that writes a byte: an S1 record of one byte,
// "S104AAAADDCC", and its line feed. Intel HEX takes 14.
constexpr qint64 kShortestDataRecord = 13;

// A block keeps its addresses, sizes and lines in 32 bits: the addresses
// are the instrument's, and a file no larger than the tool reads has fewer
// lines than that.
static_assert(LineGrammar::kAddressSpace <= std::numeric_limits<quint32>::max());
static_assert(FirmwareFile::kMaxSize < std::numeric_limits<quint32>::max());
static_assert(LineGrammar::kAddressSpace <= quint64(1) << (4 * kAddressDigits),
              "five digits hold every address of the instrument");

} // namespace

void ImageMap::reserveFor(qint64 fileSize)
{
    m_blocks.reserve(size_t(std::clamp<qint64>(fileSize, 0, FirmwareFile::kMaxSize) / kShortestDataRecord));
}

ImageMap::Added ImageMap::add(quint64 address, QByteArrayView bytes, qint64 line)
{
    if (bytes.isEmpty())
        return Added::Ok;
    if (address >= LineGrammar::kAddressSpace || quint64(bytes.size()) > LineGrammar::kAddressSpace - address)
        return Added::PastLastAddress;
    if (m_written.isEmpty())
        m_written.resize(qsizetype(LineGrammar::kAddressSpace));
    const auto begin = qsizetype(address);
    const qsizetype end = begin + bytes.size();
    for (qsizetype at = begin; at < end; ++at) {
        if (m_written.testBit(at)) {
            findEarlierWriter(quint64(at));
            return Added::Overlap;
        }
    }
    m_written.fill(true, begin, end);
    // Most files write their bytes in order, record after record: those
    // grow one block.
    if (!m_blocks.empty() && quint64(m_blocks.back().start) + m_blocks.back().size == address) {
        m_blocks.back().size += quint32(bytes.size());
        m_blocks.back().lastLine = quint32(line);
    } else {
        m_blocks.push_back(
            {quint32(address), quint32(bytes.size()), quint32(m_bytes.size()), quint32(line), quint32(line)});
    }
    m_bytes.append(bytes);
    return Added::Ok;
}

void ImageMap::findEarlierWriter(quint64 address)
{
    m_overlapAddress = address;
    // Once, for the refusal: the blocks are not sorted yet.
    for (const Block &b : m_blocks) {
        if (address >= b.start && address < quint64(b.start) + b.size) {
            m_overlapFirstLine = b.firstLine;
            m_overlapLastLine = b.lastLine;
            return;
        }
    }
}

bool ImageMap::writeLines(const std::function<bool(QByteArrayView, qint64)> &take)
{
    std::sort(m_blocks.begin(), m_blocks.end(), [](const Block &a, const Block &b) { return a.start < b.start; });
    // A line is made in place, a megabyte of data being three million
    // characters: "@" and five digits, or kBytesPerLine bytes of two digits
    // and a space between them.
    std::array<char, kBytesPerLine * 3> line{};
    const auto count = m_blocks.size();
    for (size_t run = 0; run < count;) {
        // A run: blocks that follow one another without a gap, as one.
        size_t runEnd = run + 1;
        while (runEnd < count
               && quint64(m_blocks[runEnd - 1].start) + m_blocks[runEnd - 1].size == m_blocks[runEnd].start)
            ++runEnd;
        line[0] = kAddressMark;
        for (qsizetype digit = 0; digit < kAddressDigits; ++digit)
            line[size_t(1 + digit)] = kDigits[(m_blocks[run].start >> (4 * (kAddressDigits - 1 - digit))) & 0xF];
        if (!take(QByteArrayView(line.data(), 1 + kAddressDigits), m_blocks[run].firstLine))
            return false;
        size_t block = run;
        quint32 at = 0; // within the block
        while (block < runEnd) {
            qsizetype length = 0;
            qint64 fileLine = m_blocks[block].firstLine;
            for (int n = 0; n < kBytesPerLine && block < runEnd; ++n) {
                const Block &b = m_blocks[block];
                if (n > 0)
                    line[size_t(length++)] = kSpace;
                const auto value = quint8(m_bytes.at(qsizetype(b.offset + at)));
                line[size_t(length++)] = kDigits[value >> 4];
                line[size_t(length++)] = kDigits[value & 0xF];
                if (++at == b.size) {
                    fileLine = b.lastLine;
                    ++block;
                    at = 0;
                } else {
                    fileLine = b.firstLine;
                }
            }
            if (!take(QByteArrayView(line.data(), length), fileLine))
                return false;
        }
        run = runEnd;
    }
    return take(kEndLine, m_blocks.empty() ? 0 : m_blocks.back().lastLine);
}
