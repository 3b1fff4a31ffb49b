// In-process figures of the firmware core: what reading, checking and
// preparing a file costs per line and per byte, without the start-up, the
// file system or the link that the whole-process figures of bench/run carry.
// The images are made in memory: 64 KiB of random data, as the text image
// the tool sends, as Intel HEX and as S-records, so the three readers work
// on the same bytes.
#include "core/firmware/firmwareimage.h"
#include "core/firmware/firmwareline.h"
#include "core/firmware/imagecheck.h"
#include "core/firmware/imageformat.h"
#include "core/firmware/linegrammar.h"
#include "core/firmware/linereader.h"
#include "core/firmware/recordreader.h"

#include <QBuffer>
#include <QByteArray>
#include <QList>

#include <benchmark/benchmark.h>

#include <random>

namespace {

constexpr int kDataBytes = 64 * 1024;
constexpr int kPerLine = 16;

QByteArray randomData()
{
    std::mt19937 random(20261209);
    QByteArray data(kDataBytes, Qt::Uninitialized);
    for (char &c : data)
        c = char(random() & 0xFF);
    return data;
}

const QByteArray &data()
{
    static const QByteArray bytes = randomData();
    return bytes;
}

QByteArray hexByte(unsigned value)
{
    return QByteArray::number(value & 0xFF, 16).toUpper().rightJustified(2, '0');
}

// "@00000", 16-byte data lines, "q": the form line preparation leaves as it is.
QByteArray textImage()
{
    QByteArray out = QByteArrayLiteral("@00000\n");
    for (int at = 0; at < kDataBytes; at += kPerLine) {
        for (int i = 0; i < kPerLine; ++i) {
            if (i)
                out += ' ';
            out += hexByte(uchar(data()[at + i]));
        }
        out += '\n';
    }
    out += "q\n";
    return out;
}

QByteArray intelHexImage()
{
    QByteArray out;
    for (int at = 0; at < kDataBytes; at += kPerLine) {
        unsigned sum = kPerLine + (at >> 8) + (at & 0xFF);
        QByteArray record = ':' + hexByte(kPerLine) + hexByte(at >> 8) + hexByte(at) + "00";
        for (int i = 0; i < kPerLine; ++i) {
            const uchar byte = uchar(data()[at + i]);
            sum += byte;
            record += hexByte(byte);
        }
        out += record + hexByte(0x100 - (sum & 0xFF)) + '\n';
    }
    out += ":00000001FF\n";
    return out;
}

QByteArray sRecordImage()
{
    QByteArray out;
    const int count = 3 + kPerLine + 1;
    for (int at = 0; at < kDataBytes; at += kPerLine) {
        unsigned sum = count + (at >> 16) + ((at >> 8) & 0xFF) + (at & 0xFF);
        QByteArray record = "S2" + hexByte(count) + hexByte(at >> 16) + hexByte(at >> 8) + hexByte(at);
        for (int i = 0; i < kPerLine; ++i) {
            const uchar byte = uchar(data()[at + i]);
            sum += byte;
            record += hexByte(byte);
        }
        out += record + hexByte(~sum) + '\n';
    }
    out += "S804000000FB\n";
    return out;
}

QList<QByteArray> linesOf(const QByteArray &image)
{
    QList<QByteArray> lines = image.split('\n');
    lines.removeLast();
    return lines;
}

// Lines of one kind each, as a file may hold them: what preparation and the
// grammar do to each kind is measured apart.
QList<QByteArray> kindLines(int kind)
{
    const QList<QByteArray> text = linesOf(textImage());
    QList<QByteArray> lines;
    for (qsizetype i = 1; i + 1 < text.size(); ++i) {
        switch (kind) {
        case 0: // a 16-byte data line, already prepared
            lines << text[i];
            break;
        case 1: // a 1-byte data line, which gains its pad byte
            lines << text[i].left(2);
            break;
        default: // a four-digit address line, which gains a digit
            lines << '@' + hexByte(uchar(i >> 8)) + hexByte(uchar(i));
            break;
        }
    }
    return lines;
}

const char *kindName(int kind)
{
    return kind == 0 ? "data16" : kind == 1 ? "data1" : "address4";
}

void setLineCounters(benchmark::State &state, const QList<QByteArray> &lines)
{
    qint64 bytes = 0;
    for (const QByteArray &line : lines)
        bytes += line.size() + 1;
    state.SetItemsProcessed(state.iterations() * lines.size());
    state.SetBytesProcessed(state.iterations() * bytes);
}

void BM_LineReader(benchmark::State &state)
{
    QByteArray image = textImage();
    const qsizetype lines = image.count('\n');
    for (auto _ : state) {
        QBuffer buffer(&image);
        buffer.open(QIODevice::ReadOnly);
        LineReader reader(&buffer);
        QByteArray line;
        while (reader.readLine(line))
            benchmark::DoNotOptimize(line.data());
    }
    state.SetItemsProcessed(state.iterations() * lines);
    state.SetBytesProcessed(state.iterations() * image.size());
}
BENCHMARK(BM_LineReader);

void BM_LineGrammar(benchmark::State &state)
{
    const QList<QByteArray> lines = kindLines(int(state.range(0)));
    QByteArray bytes;
    for (auto _ : state) {
        for (const QByteArray &line : lines) {
            const LineGrammar::Line parsed = LineGrammar::parse(line, LineGrammar::Form::InFile, &bytes);
            benchmark::DoNotOptimize(parsed);
        }
    }
    state.SetLabel(kindName(int(state.range(0))));
    setLineCounters(state, lines);
}
BENCHMARK(BM_LineGrammar)->DenseRange(0, 2);

void BM_PrepareLine(benchmark::State &state)
{
    const QList<QByteArray> lines = kindLines(int(state.range(0)));
    for (auto _ : state) {
        for (const QByteArray &line : lines) {
            QByteArray prepared = PrepareLine(line);
            benchmark::DoNotOptimize(prepared.data());
        }
    }
    state.SetLabel(kindName(int(state.range(0))));
    setLineCounters(state, lines);
}
BENCHMARK(BM_PrepareLine)->DenseRange(0, 2);

// The check of every line of the text image, as read and as prepared.
void BM_ImageCheck(benchmark::State &state)
{
    const QList<QByteArray> lines = linesOf(textImage());
    QList<QByteArray> prepared;
    for (const QByteArray &line : lines)
        prepared << PrepareLine(line);
    for (auto _ : state) {
        ImageCheck check;
        for (qsizetype i = 0; i < lines.size(); ++i)
            check.addLine(lines[i], prepared[i]);
        check.finish();
        if (check.problem().refused())
            state.SkipWithError("the text image was refused");
        benchmark::DoNotOptimize(check.summary().dataBytes);
    }
    setLineCounters(state, lines);
}
BENCHMARK(BM_ImageCheck);

// A record reader alone: the records taken apart and their data put into
// the image map, without the text lines made of it afterwards.
void recordReader(benchmark::State &state, ImageFormat::Kind format, const QByteArray &image)
{
    const QList<QByteArray> lines = linesOf(image);
    for (auto _ : state) {
        std::unique_ptr<RecordReader> reader = RecordReader::make(format);
        reader->expectSize(image.size());
        for (const QByteArray &line : lines)
            reader->addLine(line);
        if (!reader->finish())
            state.SkipWithError("the record file was refused");
        benchmark::DoNotOptimize(reader->lineCount());
    }
    setLineCounters(state, lines);
}

void BM_IntelHexReader(benchmark::State &state)
{
    recordReader(state, ImageFormat::Kind::IntelHex, intelHexImage());
}
BENCHMARK(BM_IntelHexReader);

void BM_SRecordReader(benchmark::State &state)
{
    recordReader(state, ImageFormat::Kind::SRecord, sRecordImage());
}
BENCHMARK(BM_SRecordReader);

// What --check and an update do before anything is sent: the whole file
// read, checked, prepared and kept, both SHA-256 sums included. The same
// 64 KiB of data in each format.
void BM_FirmwareImageRead(benchmark::State &state)
{
    const int format = int(state.range(0));
    QByteArray image = format == 0 ? textImage() : format == 1 ? intelHexImage() : sRecordImage();
    for (auto _ : state) {
        QBuffer buffer(&image);
        buffer.open(QIODevice::ReadOnly);
        ImageProblem problem;
        const FirmwareImage read = FirmwareImage::read(&buffer, image.size(), &problem);
        if (problem.refused() || read.isEmpty())
            state.SkipWithError("the image was refused");
        benchmark::DoNotOptimize(read.lineCount());
    }
    state.SetLabel(format == 0 ? "text" : format == 1 ? "Intel HEX" : "S-record");
    state.SetBytesProcessed(state.iterations() * image.size());
    state.counters["data_bytes"] = kDataBytes;
}
BENCHMARK(BM_FirmwareImageRead)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
