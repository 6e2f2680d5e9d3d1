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

static QByteArray pattern(int n, int seed)
{
    QByteArray p(n, '\0');
    for (int i = 0; i < n; ++i)
        p[i] = char((i * 7 + seed) | 1);
    return p;
}

// What the dispatcher sees of a long frame: its first 268 bytes, zero after.
static QByteArray record(const QByteArray &frame)
{
    QByteArray r = frame.left(268);
    r.append(QByteArray(268 - r.size(), '\0'));
    return r;
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

    const QByteArray a = normalFrame(28929, 1, 10);
    const QByteArray b = normalFrame(28929, 2, 20);
    const QByteArray c = normalFrame(28929, 3, 30);

    QTest::newRow("normal frame in reads of 10 and 6")
        << ByteArrays{a.left(10), a.mid(10)} << QList<int>{0, 1} << ByteArrays{a} << QByteArray() << QByteArray();
    QTest::newRow("three normal frames in one read")
        << ByteArrays{a + b + c} << QList<int>{3} << ByteArrays{a, b, c} << QByteArray() << QByteArray();
    for (int k = 8; k <= 15; ++k) {
        QTest::addRow("normal frame, %d bytes first", k)
            << ByteArrays{a.left(k), a.mid(k)} << QList<int>{0, 1} << ByteArrays{a} << QByteArray() << QByteArray();
    }
    const QByteArray long20 = longFrame(2, 0x19, pattern(8, 3));
    const QByteArray other20 = longFrame(7, 0x19, pattern(8, 5));
    for (int k = 1; k <= 7; ++k) {
        for (const QByteArray &f : {a, long20, other20}) {
            QTest::addRow("%d bytes of a frame of type %d", k, int(f.at(0)))
                << ByteArrays{f.left(k)} << QList<int>{0} << ByteArrays{} << f.left(k) << QByteArray();
        }
    }

    QTest::newRow("length 20: zero-filled record, 20 bytes consumed")
        << ByteArrays{long20 + a} << QList<int>{2} << ByteArrays{record(long20), a} << QByteArray() << QByteArray();
    const QByteArray long268 = longFrame(2, 0xD4, pattern(256, 1));
    QTest::newRow("length 268 whole")
        << ByteArrays{long268} << QList<int>{1} << ByteArrays{long268} << QByteArray() << QByteArray();
    QTest::newRow("record zero past a shorter frame after a longer one")
        << ByteArrays{long268, long20} << QList<int>{1, 2} << ByteArrays{long268, record(long20)}
        << QByteArray() << QByteArray();

    // 300 bytes announced: 268 go on with the length word cut, the 32 after
    // them are the next two frames.
    const QByteArray long300 = header(2, 0x52, 300) + pattern(256, 2) + b + c;
    QByteArray cut = long300.left(268);
    qToLittleEndian(qint32(268), cut.data() + 8);
    QTest::newRow("length 300 cut at 268, the rest parsed on")
        << ByteArrays{long300.left(268), long300.mid(268)} << QList<int>{0, 3} << ByteArrays{cut, b, c}
        << QByteArray() << QByteArray();

    QTest::newRow("length 0 empties the buffer")
        << ByteArrays{a + header(2, 5, 0) + b + c} << QList<int>{1} << ByteArrays{a} << QByteArray() << OverSizeLine;
    QTest::newRow("length 0 at the front")
        << ByteArrays{header(3, 5, 0) + b} << QList<int>{0} << ByteArrays{} << QByteArray() << OverSizeLine;

    // 10000 bytes of a frame announced as 10240, then a read that no longer fits.
    ByteArrays chunks;
    QList<int> after;
    const QByteArray big = header(2, 0x39, 10240) + pattern(10000 - 12, 4);
    for (int i = 0; i < big.size(); i += 268) {
        chunks << big.mid(i, 268);
        after << 0;
    }
    ByteArrays sixteen;
    QByteArray fresh;
    for (int i = 0; i < 16; ++i) {
        sixteen << normalFrame(28929, quint32(i), 0);
        fresh += sixteen.last();
    }
    fresh += c.left(12);
    chunks << fresh;
    after << 16;
    QTest::newRow("268-byte read with 10000 bytes buffered")
        << chunks << after << sixteen << c.left(12) << QByteArray();

    QTest::newRow("length 10240 waits for its bytes")
        << ByteArrays{header(2, 1, 10240)} << QList<int>{0} << ByteArrays{} << header(2, 1, 10240) << QByteArray();

    // The length word is only read once the whole header is here.
    const QByteArray long264 = longFrame(2, 0x19, pattern(252, 6));
    for (int k = 8; k <= 11; ++k) {
        QTest::addRow("long frame, %d bytes of its header first", k)
            << ByteArrays{long264.left(k), long264.mid(k)} << QList<int>{0, 1} << ByteArrays{record(long264)}
            << QByteArray() << QByteArray();
    }

    // Lengths no frame can have are thrown out at once, not after 10 KB.
    for (qint32 length : {-1, -20, INT_MIN, 10241, INT_MAX, 0, 5, 11}) {
        QTest::addRow("length %d behind a frame", length)
            << ByteArrays{a + header(2, 9, length) + b} << QList<int>{1} << ByteArrays{a} << QByteArray()
            << OverSizeLine;
    }
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
