#include "sim/memoryimage.h"
#include "sim/hexdigit.h"

#include <algorithm>
#include <cstdio>

namespace {

// The instrument's addresses have five hexadecimal digits (20 bits): data
// may fill memory up to 0xFFFFF and no further.
constexpr std::size_t kAddressDigits = 5;
constexpr std::uint64_t kMemoryEnd = 0x100000;
// The instrument's line buffer holds 32 data bytes: a longer data line does
// not fit.
constexpr std::size_t kMaxDataBytes = 32;

const std::array<std::uint32_t, 256> &crcTable()
{
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    return table;
}

void appendLittleEndian(std::uint8_t *out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

} // namespace

MemoryImage::LineKind MemoryImage::addLine(std::string_view line)
{
    ++m_lines;
    if (line.empty())
        return LineKind::Empty;
    if (line == "q" || line == "Q") {
        m_endSeen = true;
        return LineKind::End;
    }
    if (line.front() == '@') {
        if (takeAddress(line))
            return LineKind::Address;
    } else if (takeData(line)) {
        return LineKind::Data;
    }
    ++m_malformedLines;
    return LineKind::Malformed;
}

void MemoryImage::addMalformedLine()
{
    ++m_lines;
    ++m_malformedLines;
}

void MemoryImage::clear()
{
    *this = MemoryImage();
}

bool MemoryImage::takeAddress(std::string_view line)
{
    if (line.size() != 1 + kAddressDigits)
        return false;
    std::uint32_t address = 0;
    for (char c : line.substr(1)) {
        const int v = hexValue(c);
        if (v < 0)
            return false;
        address = (address << 4) | static_cast<std::uint32_t>(v);
    }
    m_address = address;
    return true;
}

bool MemoryImage::takeData(std::string_view line)
{
    // n bytes are written in 3n - 1 characters; check the whole line before
    // storing anything, so a bad line leaves the image as it was.
    if ((line.size() + 1) % 3 != 0)
        return false;
    for (std::size_t i = 0; i < line.size(); i += 3) {
        if (hexValue(line[i]) < 0 || hexValue(line[i + 1]) < 0)
            return false;
        if (i + 2 < line.size() && line[i + 2] != ' ')
            return false;
    }
    const std::size_t count = (line.size() + 1) / 3;
    if (count > kMaxDataBytes || m_address + std::uint64_t(count) > kMemoryEnd)
        return false;
    for (std::size_t i = 0; i < line.size(); i += 3)
        store(static_cast<std::uint8_t>(hexValue(line[i]) << 4 | hexValue(line[i + 1])));
    m_dataBytes += count;
    if (count % 2 != 0)
        ++m_oddDataLines;
    return true;
}

void MemoryImage::store(std::uint8_t byte)
{
    Page &page = m_pages[m_address >> kPageBits];
    const std::uint32_t offset = m_address & (kPageSize - 1);
    page.bytes[offset] = byte;
    page.present.set(offset);
    ++m_address;
}

std::optional<std::uint8_t> MemoryImage::byteAt(std::uint32_t address) const
{
    const auto it = m_pages.find(address >> kPageBits);
    const std::uint32_t offset = address & (kPageSize - 1);
    if (it == m_pages.end() || !it->second.present.test(offset))
        return std::nullopt;
    return it->second.bytes[offset];
}

std::vector<MemoryImage::Range> MemoryImage::ranges() const
{
    std::vector<Range> result;
    bool open = false;
    for (const auto &[pageIndex, page] : m_pages) {
        const std::uint32_t base = pageIndex << kPageBits;
        for (std::uint32_t offset = 0; offset < kPageSize; ++offset) {
            if (!page.present.test(offset)) {
                open = false;
                continue;
            }
            const std::uint32_t address = base + offset;
            if (open && result.back().start + result.back().length == address) {
                ++result.back().length;
            } else {
                result.push_back({address, 1});
                open = true;
            }
        }
    }
    return result;
}

std::uint32_t MemoryImage::checksum() const
{
    std::uint32_t crc = 0;
    for (const Range &range : ranges()) {
        std::uint8_t header[8];
        appendLittleEndian(header, range.start);
        appendLittleEndian(header + 4, range.length);
        crc = crc32(crc, header, sizeof header);
        // Ranges may cross pages: feed the bytes page by page.
        std::uint32_t address = range.start;
        std::uint32_t left = range.length;
        while (left > 0) {
            const Page &page = m_pages.at(address >> kPageBits);
            const std::uint32_t offset = address & (kPageSize - 1);
            const std::uint32_t take = std::min(left, kPageSize - offset);
            crc = crc32(crc, page.bytes.data() + offset, take);
            address += take;
            left -= take;
        }
    }
    return crc;
}

std::uint32_t MemoryImage::crc32(std::uint32_t crc, const std::uint8_t *data, std::size_t size)
{
    const auto &table = crcTable();
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xFFu] ^ (crc >> 8);
    return ~crc;
}

std::string MemoryImage::formatRange(const Range &range)
{
    char text[32];
    const std::uint32_t last = range.start + (range.length > 0 ? range.length - 1 : 0);
    std::snprintf(text, sizeof text, "%05X-%05X", static_cast<unsigned>(range.start), static_cast<unsigned>(last));
    return text;
}
