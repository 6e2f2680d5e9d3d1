#include "framereassembler.h"
#include "framingmodel.h"
#include "mcupeer.h"
#include "stdoutcapture.h"

#include <QTest>

#include <algorithm>
#include <climits>
#include <memory>

using ByteArrays = QList<QByteArray>;

// The reassembler against the framing rules written out the plain way, chunk
// by chunk: the frames handed over, the bytes kept, the zeros behind them.
class TestFrameReassembler : public QObject
{
    Q_OBJECT

private slots:
    void append_data();
    void append();
};

void TestFrameReassembler::append_data()
{
    QTest::addColumn<ByteArrays>("chunks");
    // Frames handed over in all: the row's own check that it tests something.
    QTest::addColumn<int>("frames");

    auto row = [](const QString &tag, const ByteArrays &chunks, int frames) {
        QTest::newRow(qPrintable(tag)) << chunks << frames;
    };
    const QByteArray a = normalFrame(28929, 1, 10);
    const QByteArray b = normalFrame(28929, 2, 20);
    const QByteArray c = normalFrame(28929, 3, 30);

    row("three normal frames in one read", {a + b + c}, 3);
    for (int k = 8; k <= 15; ++k)
        row(QStringLiteral("normal frame, %1 bytes first").arg(k), {a.left(k), a.mid(k)}, 1);
    const QByteArray long20 = longFrame(2, 0x19, pattern(8, 3));
    for (int k = 1; k <= 7; ++k) {
        for (const QByteArray &f : {a, long20, longFrame(7, 0x19, pattern(8, 5))})
            row(QStringLiteral("%1 bytes of a frame of type %2").arg(k).arg(int(f.at(0))), {f.left(k)}, 0);
    }
    row("length 20: zero-filled record, 20 bytes consumed", {long20 + a}, 2);
    row("length 12: a header alone is a frame", {longHeader(2, 9, 12) + a}, 2);
    const QByteArray long268 = longFrame(2, 0xD4, pattern(256, 1));
    row("length 268, then a shorter frame", {long268, long20}, 2);
    // 300 bytes announced: 268 go on with the length word cut, the 32 after
    // them are the next two frames.
    const QByteArray long300 = longHeader(2, 0x52, 300) + pattern(256, 2) + b + c;
    row("length 300 cut at 268, the rest parsed on", {long300.left(268), long300.mid(268)}, 3);
    row("length 0 empties the buffer", {a + longHeader(2, 5, 0) + b + c}, 1);

    // 10000 bytes of a frame announced as 10240, then a read that no longer fits.
    ByteArrays chunks;
    const QByteArray big = longHeader(2, 0x39, 10240) + pattern(10000 - 12, 4);
    for (int i = 0; i < big.size(); i += 268)
        chunks << big.mid(i, 268);
    QByteArray fresh;
    for (int i = 0; i < 16; ++i)
        fresh += normalFrame(28929, quint32(i), 0);
    row("268-byte read with 10000 bytes buffered", chunks << fresh + c.left(12), 16);
    row("length 10240 waits for its bytes", {longHeader(2, 1, 10240)}, 0);

    // The length word is only read once the whole header is here.
    const QByteArray long264 = longFrame(2, 0x19, pattern(252, 6));
    for (int k = 8; k <= 11; ++k)
        row(QStringLiteral("long frame, %1 bytes of its header first").arg(k), {long264.left(k), long264.mid(k)}, 1);
    // Lengths no frame can have are thrown out at once, not after 10 KB.
    for (qint32 length : {-1, -268, INT_MIN, 10241, INT_MAX, 0, 1, 11})
        row(QStringLiteral("length %1 behind a frame").arg(length), {a + longHeader(3, 9, length) + b}, 1);
}

void TestFrameReassembler::append()
{
    QFETCH(ByteArrays, chunks);
    QFETCH(int, frames);

    auto reassembler = std::make_unique<FrameReassembler>();
    const unsigned char *const begin = reassembler->buffer();
    const unsigned char *const end = begin + FrameReassembler::Capacity;
    FramingModel model;
    StdoutCapture out;
    int delivered = 0;
    for (const QByteArray &chunk : chunks) {
        ByteArrays got;
        reassembler->append(reinterpret_cast<const unsigned char *>(chunk.constData()), chunk.size(),
                            [&](unsigned char *frame) {
                                const bool normal = qFromLittleEndian<quint32>(frame) == 1;
                                // Normal frames are handed over in place, never copied.
                                QVERIFY(!normal || (frame >= begin && frame < end));
                                got << QByteArray(reinterpret_cast<const char *>(frame), normal ? 16 : 268);
                            });
        QCOMPARE(got, model.append(chunk));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(begin), reassembler->pending()), model.buffered());
        QVERIFY(std::all_of(begin + reassembler->pending(), end, [](unsigned char byte) { return byte == 0; }));
        delivered += got.size();
    }
    QCOMPARE(delivered, frames);
    QCOMPARE(out.count("=================>>>MainAppProtocolComm over size: 10240\n"), model.discards);
}

QTEST_GUILESS_MAIN(TestFrameReassembler)
#include "tst_framereassembler.moc"
