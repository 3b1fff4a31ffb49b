#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the instrument keeps of one firmware image: the bytes of the data
// lines at their addresses, plus the counts and the checksum that show whether
// a transfer arrived whole. Plain C++, so the simulator needs no Qt.
//
// Lines are taken as the instrument takes them, without their line feed:
// - address line: '@' and exactly five hexadecimal digits ("@0F000"); it sets
//   the current address;
// - data line: bytes as two hexadecimal digits each, separated by single
//   spaces ("31 40 00 24"), at most 32 of them (the line buffer); stored from
//   the current address onward, which advances by one per byte. A line whose
//   data would run past the last address, 0xFFFFF, is malformed. Data before
//   any address line goes to address 0;
// - end line: exactly "q" or "Q";
// - empty line: counted, nothing else;
// - anything else is malformed: counted, its content ignored.
// A later byte at an address overwrites an earlier one.
class MemoryImage
{
public:
    enum class LineKind { Address, Data, Empty, End, Malformed };

    // Contiguous stored bytes: [start, start + length).
    struct Range
    {
        std::uint32_t start = 0;
        std::uint32_t length = 0;
        friend bool operator==(const Range &, const Range &) = default;
    };

    LineKind addLine(std::string_view line);
    // A line that could not be kept whole (longer than the receiver holds):
    // counted as received and malformed.
    void addMalformedLine();
    // Forgets everything: the instrument's erase.
    void clear();

    std::uint64_t lines() const { return m_lines; }
    // Bytes taken from well-formed data lines, overwritten ones included.
    std::uint64_t dataBytes() const { return m_dataBytes; }
    std::uint64_t malformedLines() const { return m_malformedLines; }
    // Data lines with an odd number of bytes: the tool pads every data line to
    // whole 16-bit words, so any such line points at the sender.
    std::uint64_t oddDataLines() const { return m_oddDataLines; }
    bool endSeen() const { return m_endSeen; }
    std::uint32_t currentAddress() const { return m_address; }

    std::optional<std::uint8_t> byteAt(std::uint32_t address) const;
    // The stored bytes merged into contiguous ranges, in address order.
    std::vector<Range> ranges() const;

    // CRC-32 (the IEEE/zlib polynomial, reflected, initial value and final
    // XOR 0xFFFFFFFF) over, for each range in address order: the start address
    // as 4 bytes little-endian, the length as 4 bytes little-endian, then the
    // range's bytes. Start and length take part so that two images with the
    // same bytes at other addresses, or split differently, differ. An empty
    // image gives 0.
    std::uint32_t checksum() const;

    // Continues a CRC-32 as above over more bytes; crc32(0, ...) starts one.
    static std::uint32_t crc32(std::uint32_t crc, const std::uint8_t *data, std::size_t size);
    // "0F000-0F01F": first and last address, at least five hexadecimal digits.
    static std::string formatRange(const Range &range);

private:
    static constexpr std::uint32_t kPageBits = 8;
    static constexpr std::uint32_t kPageSize = 1u << kPageBits;
    struct Page
    {
        std::array<std::uint8_t, kPageSize> bytes{};
        std::bitset<kPageSize> present;
    };

    bool takeAddress(std::string_view line);
    bool takeData(std::string_view line);
    void store(std::uint8_t byte);

    // Sparse memory: a firmware image is a few small islands in a large space.
    std::map<std::uint32_t, Page> m_pages;
    std::uint32_t m_address = 0;
    std::uint64_t m_lines = 0;
    std::uint64_t m_dataBytes = 0;
    std::uint64_t m_malformedLines = 0;
    std::uint64_t m_oddDataLines = 0;
    bool m_endSeen = false;
};
