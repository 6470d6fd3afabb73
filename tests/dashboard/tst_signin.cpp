// The dashboard's sign-in state on its own, with the time given: a session's end after its
// lifetime, the bound of the session table, the wrong tries per client in their minute, the
// bound of the table of clients, the log line once a minute, and the constant-time compare.

#include "dashboardsessions.h"
#include "signinlimiter.h"

#include <QTest>

#include <set>

using namespace std::chrono_literals;

class SignInTest : public QObject
{
    Q_OBJECT

private slots:
    void sessionLifetime_data();
    void sessionLifetime();
    void sessionTableBounded();
    void clientOf_data();
    void clientOf();
    void triesInTheirMinute();
    void clientTableBounded();
    void loggedOnceAMinute();
    void equalInConstantTime_data();
    void equalInConstantTime();
};

void SignInTest::sessionLifetime_data()
{
    QTest::addColumn<qint64>("secondsLater");
    QTest::addColumn<bool>("valid");

    QTest::newRow("at-once") << qint64(0) << true;
    QTest::newRow("an-hour") << qint64(3600) << true;
    QTest::newRow("last-second") << qint64(12 * 3600 - 1) << true;
    QTest::newRow("twelve-hours") << qint64(12 * 3600) << false;
    QTest::newRow("a-day") << qint64(24 * 3600) << false;
}

void SignInTest::sessionLifetime()
{
    QFETCH(qint64, secondsLater);
    QFETCH(bool, valid);

    DashboardSessions sessions;
    const auto start = DashboardSessions::Clock::now();
    const std::optional<std::string> id = sessions.start(start);
    QVERIFY(id);
    QCOMPARE(id->size(), 2 * DashboardSessions::IdBytes);
    QCOMPARE(sessions.isValid(*id, start + std::chrono::seconds(secondsLater)), valid);
    sessions.end(*id);
    QVERIFY(!sessions.isValid(*id, start));
}

// Each sign-in makes one more session up to the bound; beyond it the one to expire first ends.
void SignInTest::sessionTableBounded()
{
    DashboardSessions sessions;
    const auto start = DashboardSessions::Clock::now();
    std::vector<std::string> ids;
    std::set<std::string> distinct;
    for (std::size_t i = 0; i < DashboardSessions::MaxSessions + 10; ++i) {
        ids.push_back(*sessions.start(start + std::chrono::seconds(i)));
        distinct.insert(ids.back());
        QVERIFY(sessions.size() <= DashboardSessions::MaxSessions);
    }
    QCOMPARE(distinct.size(), ids.size());
    QCOMPARE(sessions.size(), DashboardSessions::MaxSessions);
    const auto now = start + std::chrono::seconds(ids.size());
    QVERIFY(!sessions.isValid(ids.front(), now));
    QVERIFY(!sessions.isValid(ids.at(9), now));
    QVERIFY(sessions.isValid(ids.at(10), now));
    QVERIFY(sessions.isValid(ids.back(), now));
    // Expired ones make room before any live one is ended.
    const std::string late = *sessions.start(start + DashboardSessions::Lifetime + 11s);
    QCOMPARE(sessions.size(), DashboardSessions::MaxSessions - 1);
    QVERIFY(sessions.isValid(late, start + DashboardSessions::Lifetime + 11s));
}

void SignInTest::clientOf_data()
{
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<QByteArray>("client");

    QTest::newRow("ipv4") << QByteArray("192.0.2.7") << QByteArray("192.0.2.7");
    QTest::newRow("ipv6-in-its-64") << QByteArray("2001:db8:1:2:aaaa:bbbb:cccc:dddd")
                                    << QByteArray("2001:db8:1:2::/64");
    QTest::newRow("ipv6-same-64") << QByteArray("2001:db8:1:2::1") << QByteArray("2001:db8:1:2::/64");
    QTest::newRow("ipv6-other-64") << QByteArray("2001:db8:1:3::1") << QByteArray("2001:db8:1:3::/64");
    QTest::newRow("ipv4-mapped") << QByteArray("::ffff:192.0.2.7") << QByteArray("192.0.2.7");
    QTest::newRow("loopback6") << QByteArray("::1") << QByteArray("::/64");
    QTest::newRow("not-an-address") << QByteArray("unix-socket") << QByteArray("unix-socket");
}

void SignInTest::clientOf()
{
    QFETCH(QByteArray, address);
    QFETCH(QByteArray, client);
    QCOMPARE(QByteArray::fromStdString(SignInLimiter::clientOf(address.toStdString())), client);
}

void SignInTest::triesInTheirMinute()
{
    SignInLimiter limiter;
    const auto start = SignInLimiter::Clock::now();
    // A right token taken back does not count.
    QVERIFY(limiter.begin("192.0.2.1", start));
    limiter.forgive("192.0.2.1");
    QCOMPARE(limiter.size(), std::size_t(0));
    for (std::size_t i = 0; i < SignInLimiter::MaxTries; ++i) {
        QVERIFY(limiter.begin("192.0.2.1", start + std::chrono::seconds(10 * i)));
    }
    QVERIFY(!limiter.begin("192.0.2.1", start + 41s));
    QVERIFY(!limiter.begin("192.0.2.1", start + 59s));
    // The other addresses of one IPv6 /64 are one client; another /64 is not.
    for (std::size_t i = 0; i < SignInLimiter::MaxTries; ++i) {
        QVERIFY(limiter.begin("2001:db8::" + std::to_string(i + 1), start));
    }
    QVERIFY(!limiter.begin("2001:db8::ffff", start + 1s));
    QVERIFY(limiter.begin("2001:db8:0:1::1", start + 1s));
    QVERIFY(limiter.begin("192.0.2.2", start + 59s));
    // One more try each time the oldest is a minute old.
    QVERIFY(limiter.begin("192.0.2.1", start + 60s));
    QVERIFY(!limiter.begin("192.0.2.1", start + 61s));
    QVERIFY(limiter.begin("192.0.2.1", start + 70s));
}

// Full of clients with recent wrong tries, the table refuses a new client rather than forget
// one; clients whose tries aged out make room.
void SignInTest::clientTableBounded()
{
    SignInLimiter limiter;
    const auto start = SignInLimiter::Clock::now();
    for (std::size_t i = 0; i < SignInLimiter::MaxAddresses; ++i) {
        QVERIFY(limiter.begin("10." + std::to_string(i / 65536) + "." + std::to_string(i / 256 % 256) + "."
                + std::to_string(i % 256),
            start + std::chrono::milliseconds(i)));
    }
    QCOMPARE(limiter.size(), SignInLimiter::MaxAddresses);
    QVERIFY(!limiter.begin("192.0.2.1", start + 30s));
    QVERIFY(limiter.begin("10.0.0.0", start + 30s)); // known: its own count decides
    QCOMPARE(limiter.size(), SignInLimiter::MaxAddresses);
    QVERIFY(limiter.begin("192.0.2.1", start + 61s));
    QVERIFY(limiter.size() < SignInLimiter::MaxAddresses);
}

void SignInTest::loggedOnceAMinute()
{
    SignInLimiter limiter;
    const auto start = SignInLimiter::Clock::now();
    std::optional<std::string> first = limiter.noteWrong("192.0.2.1", false, start);
    QVERIFY(first);
    QCOMPARE(*first,
        std::string("1 wrong dashboard token(s) and 0 refused tries since the last such line, the latest "
                    "from 192.0.2.1"));
    for (int i = 1; i < 50; ++i) {
        QVERIFY(!limiter.noteWrong("192.0.2." + std::to_string(i), i > 20, start + std::chrono::seconds(i)));
    }
    const std::optional<std::string> next = limiter.noteWrong("198.51.100.9", true, start + 60s);
    QVERIFY(next);
    QCOMPARE(*next,
        std::string("20 wrong dashboard token(s) and 30 refused tries since the last such line, the latest "
                    "from 198.51.100.9"));
    QVERIFY(!limiter.noteWrong("192.0.2.1", false, start + 119s));
}

void SignInTest::equalInConstantTime_data()
{
    QTest::addColumn<QByteArray>("a");
    QTest::addColumn<QByteArray>("b");
    QTest::addColumn<bool>("equal");

    QTest::newRow("same") << QByteArray("0123456789abcdef") << QByteArray("0123456789abcdef") << true;
    QTest::newRow("both-empty") << QByteArray() << QByteArray() << true;
    QTest::newRow("first-byte") << QByteArray("x123456789abcdef") << QByteArray("0123456789abcdef") << false;
    QTest::newRow("last-byte") << QByteArray("0123456789abcdeX") << QByteArray("0123456789abcdef") << false;
    QTest::newRow("prefix") << QByteArray("0123456789abcde") << QByteArray("0123456789abcdef") << false;
    QTest::newRow("one-bit") << QByteArray("\x01", 1) << QByteArray("\x03", 1) << false;
    QTest::newRow("embedded-nul") << QByteArray("a\0b", 3) << QByteArray("a\0c", 3) << false;
}

void SignInTest::equalInConstantTime()
{
    QFETCH(QByteArray, a);
    QFETCH(QByteArray, b);
    QFETCH(bool, equal);
    QCOMPARE(::equalInConstantTime(
                 std::string_view(a.constData(), a.size()), std::string_view(b.constData(), b.size())),
        equal);
}

QTEST_APPLESS_MAIN(SignInTest)
#include "tst_signin.moc"
