#include "unixaddress.h"

#include <QTest>

#include <cstddef>

// The bytes a name becomes: what the kernel gets is the family, then exactly
// the name's bytes, with '@' turned into the abstract namespace's NUL.
class TestUnixAddress : public QObject
{
    Q_OBJECT

private slots:
    void address_data();
    void address();
};

void TestUnixAddress::address_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QByteArray>("path");

    const QByteArray longest(int(UnixAddress::MaxNameLength), 'x');
    QTest::newRow("abstract") << QByteArray("@quillstone") << true
                              << QByteArray("\0quillstone", 11);
    QTest::newRow("path") << QByteArray("/tmp/_vartk") << true << QByteArray("/tmp/_vartk");
    QTest::newRow("'@' only") << QByteArray("@") << true << QByteArray(1, '\0');
    QTest::newRow("empty") << QByteArray() << false << QByteArray();
    QTest::newRow("longest") << longest << true << longest;
    QTest::newRow("one too long: cut") << longest + 'y' << false << longest;
}

void TestUnixAddress::address()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, valid);
    QFETCH(QByteArray, path);

    const UnixAddress address(name.constData(), size_t(name.size()));
    QCOMPARE(address.isValid(), valid);
    QCOMPARE(address.address()->sa_family, sa_family_t(AF_UNIX));
    const size_t pathOffset = offsetof(sockaddr_un, sun_path);
    QCOMPARE(size_t(address.length()), pathOffset + size_t(path.size()));
    const char *bytes = reinterpret_cast<const char *>(address.address()) + pathOffset;
    QCOMPARE(QByteArray(bytes, path.size()), path);
    // Nothing of an earlier name behind it: the rest of the structure is zero.
    QCOMPARE(bytes[path.size()], '\0');
}

QTEST_APPLESS_MAIN(TestUnixAddress)
#include "tst_unixaddress.moc"
