#include "framereassembler.h"
#include "mcupeer.h"
#include "stdoutcapture.h"

#include <QtEndian>
#include <QTest>

#include <climits>
#include <memory>

using ByteArrays = QList<QByteArray>;

static const QByteArray OverSizeLine = "=================>>>MainAppProtocolComm over size: 10240\n";

// A long-frame header with any length word, negative ones included.
static QByteArray header(quint32 type, quint32 msg, qint32 length)
{
    QByteArray h(12, '\0');
    qToLittleEndian(type, h.data());
    qToLittleEndian(msg, h.data() + 4);
    qToLittleEndian(length, h.data() + 8);
    return h;
}

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
    // Frames handed over so far, after each chunk.
    QTest::addColumn<QList<int>>("deliveredAfter");
    QTest::addColumn<ByteArrays>("frames");
    QTest::addColumn<QByteArray>("rest");
    QTest::addColumn<QByteArray>("printed");

    auto row = [](const QString &tag, const ByteArrays &chunks, const QList<int> &after, const ByteArrays &frames,
                  const QByteArray &rest = {}, const QByteArray &printed = {}) {
        QTest::newRow(qPrintable(tag)) << chunks << after << frames << rest << printed;
    };
    const QByteArray a = normalFrame(28929, 1, 10);
    const QByteArray b = normalFrame(28929, 2, 20);
    const QByteArray c = normalFrame(28929, 3, 30);

    row("three normal frames in one read", {a + b + c}, {3}, {a, b, c});
    for (int k = 8; k <= 15; ++k)
        row(QStringLiteral("normal frame, %1 bytes first").arg(k), {a.left(k), a.mid(k)}, {0, 1}, {a});
    const QByteArray long20 = longFrame(2, 0x19, pattern(8, 3));
    const QByteArray other20 = longFrame(7, 0x19, pattern(8, 5));
    for (int k = 1; k <= 7; ++k) {
        for (const QByteArray &f : {a, long20, other20})
            row(QStringLiteral("%1 bytes of a frame of type %2").arg(k).arg(int(f.at(0))), {f.left(k)}, {0}, {}, f.left(k));
    }

    row("length 20: zero-filled record, 20 bytes consumed", {long20 + a}, {2}, {mcuRecord(long20), a});
    const QByteArray long268 = longFrame(2, 0xD4, pattern(256, 1));
    row("length 268 whole", {long268}, {1}, {long268});
    row("record zero past a shorter frame after a longer one", {long268, long20}, {1, 2}, {long268, mcuRecord(long20)});

    // 300 bytes announced: 268 go on with the length word cut, the 32 after
    // them are the next two frames.
    const QByteArray long300 = header(2, 0x52, 300) + pattern(256, 2) + b + c;
    QByteArray cut = long300.left(268);
    qToLittleEndian(qint32(268), cut.data() + 8);
    row("length 300 cut at 268, the rest parsed on", {long300.left(268), long300.mid(268)}, {0, 3}, {cut, b, c});

    row("length 0 empties the buffer", {a + header(2, 5, 0) + b + c}, {1}, {a}, {}, OverSizeLine);
    row("length 0 at the front", {header(3, 5, 0) + b}, {0}, {}, {}, OverSizeLine);

    // 10000 bytes of a frame announced as 10240, then a read that no longer fits.
    ByteArrays chunks, sixteen;
    QList<int> after;
    const QByteArray big = header(2, 0x39, 10240) + pattern(10000 - 12, 4);
    for (int i = 0; i < big.size(); i += 268) {
        chunks << big.mid(i, 268);
        after << 0;
    }
    QByteArray fresh;
    for (int i = 0; i < 16; ++i)
        fresh += (sixteen << normalFrame(28929, quint32(i), 0)).last();
    chunks << fresh + c.left(12);
    after << 16;
    row("268-byte read with 10000 bytes buffered", chunks, after, sixteen, c.left(12));
    row("length 10240 waits for its bytes", {header(2, 1, 10240)}, {0}, {}, header(2, 1, 10240));

    // The length word is only read once the whole header is here.
    const QByteArray long264 = longFrame(2, 0x19, pattern(252, 6));
    for (int k = 8; k <= 11; ++k)
        row(QStringLiteral("long frame, %1 bytes of its header first").arg(k), {long264.left(k), long264.mid(k)}, {0, 1},
            {mcuRecord(long264)});

    // Lengths no frame can have are thrown out at once, not after 10 KB.
    for (qint32 length : {-1, -20, INT_MIN, 10241, INT_MAX, 0, 5, 11})
        row(QStringLiteral("length %1 behind a frame").arg(length), {a + header(2, 9, length) + b}, {1}, {a}, {}, OverSizeLine);
}

void TestFrameReassembler::append()
{
    QFETCH(ByteArrays, chunks);
    QFETCH(QList<int>, deliveredAfter);
    QFETCH(ByteArrays, frames);
    QFETCH(QByteArray, rest);
    QFETCH(QByteArray, printed);

    auto reassembler = std::make_unique<FrameReassembler>();
    const unsigned char *const begin = reassembler->buffer();
    ByteArrays delivered;
    int normalsCopied = 0;
    StdoutCapture out;

    for (int i = 0; i < chunks.size(); ++i) {
        const QByteArray &chunk = chunks.at(i);
        reassembler->append(reinterpret_cast<const unsigned char *>(chunk.constData()), chunk.size(),
                            [&](unsigned char *frame) {
                                const bool normal = qFromLittleEndian<quint32>(frame) == 1;
                                if (normal && (frame < begin || frame >= begin + FrameReassembler::Capacity))
                                    ++normalsCopied;
                                delivered << QByteArray(reinterpret_cast<const char *>(frame), normal ? 16 : 268);
                            });
        QCOMPARE(delivered.size(), deliveredAfter.at(i));

        const int pending = reassembler->pending();
        QVERIFY(pending >= 0 && pending <= FrameReassembler::Capacity);
        for (int j = pending; j < FrameReassembler::Capacity; ++j) {
            if (begin[j] != 0)
                QFAIL(qPrintable(QStringLiteral("byte %1 behind %2 pending is not zero").arg(j).arg(pending)));
        }
    }

    QCOMPARE(delivered, frames);
    QCOMPARE(normalsCopied, 0);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(begin), reassembler->pending()), rest);
    QCOMPARE(out.text(), printed);
}

QTEST_GUILESS_MAIN(TestFrameReassembler)
#include "tst_framereassembler.moc"
