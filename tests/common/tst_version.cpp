#include "version.h"

#include <QTest>

class VersionTest : public QObject
{
    Q_OBJECT

private slots:
    void order_data();
    void order();
};

void VersionTest::order_data()
{
    QTest::addColumn<QByteArray>("lower");
    QTest::addColumn<QByteArray>("higher");
    QTest::newRow("patch") << QByteArray("v1.0.3") << QByteArray("v1.0.4");
    QTest::newRow("minor-two-digits") << QByteArray("v1.9") << QByteArray("v1.10");
    QTest::newRow("major-two-digits") << QByteArray("v2") << QByteArray("v10");
    QTest::newRow("longer-is-newer") << QByteArray("v1.0") << QByteArray("v1.0.1");
    QTest::newRow("empty-before-any") << QByteArray("") << QByteArray("v1");
    QTest::newRow("letters-bytewise") << QByteArray("v1.0a") << QByteArray("v1.0b");
    QTest::newRow("huge-numbers") << QByteArray("v99999999999999999999998") << QByteArray("v99999999999999999999999");
    QTest::newRow("longer-number") << QByteArray("v999999999999999999999") << QByteArray("v1000000000000000000000");
    QTest::newRow("digit-after-letter") << QByteArray("va") << QByteArray("vb1");
    QTest::newRow("high-bytes-unsigned") << QByteArray("v1") << QByteArray("v\xe4");
}

void VersionTest::order()
{
    QFETCH(QByteArray, lower);
    QFETCH(QByteArray, higher);
    QVERIFY(compareVersions(lower.constData(), higher.constData()) < 0);
    QVERIFY(compareVersions(higher.constData(), lower.constData()) > 0);
    QCOMPARE(compareVersions(lower.constData(), lower.constData()), 0);
    QCOMPARE(compareVersions(higher.constData(), higher.constData()), 0);
}

QTEST_APPLESS_MAIN(VersionTest)
#include "tst_version.moc"
