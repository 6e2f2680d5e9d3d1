#include "framereassembler.h"
#include "framingmodel.h"
#include "mcupeer.h"
#include "stdoutcapture.h"

#include <QTest>

#include <algorithm>
#include <climits>

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
    auto row = [](const QString &tag, const ByteArrays &chunks) {
        QTest::newRow(qPrintable(tag)) << chunks;
    };
    const QByteArray a = normalFrame(28929, 1, 10);
    const QByteArray b = normalFrame(28929, 2, 20);

    for (int k = 8; k <= 15; ++k)
        row(QStringLiteral("normal frame, %1 bytes first").arg(k), {a.left(k), a.mid(k)});
    row("length 12: a header alone is a frame", {longHeader(2, 9, 12) + a});
    row("length 12, the header alone in its read", {longHeader(2, 9, 12), a});
    row("length 268, then a shorter frame behind a normal one",
        {longFrame(2, 0xD4, pattern(256, 1)), longFrame(2, 0x19, pattern(8, 3)) + a});
    // 300 bytes announced: 268 go on with the length word cut, the 32 after
    // them are the next two frames.
    const QByteArray long300 = longHeader(2, 0x52, 300) + pattern(256, 2) + b + a;
    row("length 300 cut at 268, the rest parsed on", {long300.left(268), long300.mid(268)});

    // 10000 bytes of a frame announced as 10240, then a read that no longer fits.
    ByteArrays chunks;
    const QByteArray big = longHeader(2, 0x39, 10240) + pattern(10000 - 12, 4);
    for (int i = 0; i < big.size(); i += 268)
        chunks << big.mid(i, 268);
    row("268-byte read with 10000 bytes of a 10240-byte frame buffered",
        chunks << b.repeated(16) + a.left(12));

    // The last read of a 10240-byte frame fills the buffer to the byte: it fits.
    chunks.clear();
    const QByteArray full = longHeader(2, 0x3A, 10240) + pattern(10240 - 12, 5);
    for (int i = 0; i < full.size(); i += 268)
        chunks << full.mid(i, 268);
    row("read that exactly fills the buffer completes a 10240-byte frame", chunks << a);

    // The length word is only read once the whole header is here.
    const QByteArray long264 = longFrame(2, 0x19, pattern(252, 6));
    for (int k = 8; k <= 11; ++k)
        row(QStringLiteral("long frame, %1 bytes of its header first").arg(k),
            {long264.left(k), long264.mid(k)});
    // Lengths no frame can have are thrown out at once, not after 10 KB.
    for (qint32 length : {-1, -268, INT_MIN, 10241, INT_MAX, 0, 1, 11})
        row(QStringLiteral("length %1 behind a frame, frames behind it").arg(length),
            {a + longHeader(3, 9, length) + b + a});
}

void TestFrameReassembler::append()
{
    QFETCH(ByteArrays, chunks);

    FrameReassembler reassembler;
    const unsigned char *const begin = reassembler.buffer();
    const unsigned char *const end = begin + FrameReassembler::Capacity;
    FramingModel model;
    StdoutCapture out;
    for (const QByteArray &chunk : chunks) {
        ByteArrays got;
        reassembler.append(reinterpret_cast<const unsigned char *>(chunk.constData()), chunk.size(),
                           [&](unsigned char *frame) {
                               const bool normal = qFromLittleEndian<quint32>(frame) == 1;
                               // Normal frames are handed over in place, never copied.
                               QVERIFY(!normal || (frame >= begin && frame < end));
                               got << QByteArray(reinterpret_cast<const char *>(frame),
                                                 normal ? 16 : 268);
                           });
        QCOMPARE(got, model.append(chunk));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(begin), reassembler.pending()),
                 model.buffered());
        QVERIFY(std::all_of(begin + reassembler.pending(), end,
                            [](unsigned char byte) { return byte == 0; }));
    }
    QCOMPARE(out.count("=================>>>MainAppProtocolComm over size: 10240\n"),
             model.discards);
}

QTEST_GUILESS_MAIN(TestFrameReassembler)
#include "tst_framereassembler.moc"
